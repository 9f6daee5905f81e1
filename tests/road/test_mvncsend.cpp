// mvncsend end to end: the client's request files with real attachments go
// through the real program and a fixture module; every payload of the job
// the module received, decoded by the independent decoder, equals its input
// byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sendmachine.h"

using namespace mvntest;

namespace {

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

// PostScript-like text: operators, numbers, and hexadecimal image data.
std::string PostScript(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string text = "%!PS-Adobe-3.0\r\n%%Pages: 1\r\n";
  while (text.size() < size) {
    switch (random() % 5) {
      case 0:
        text += std::to_string(random() % 612) + " " + std::to_string(random() % 792) + " moveto\r\n";
        break;
      case 1:
        text += "(Line " + std::to_string(random() % 1000) + " of the report) show\r\n";
        break;
      case 2: {
        text += "<";
        for (int i = 0; i < 64; ++i) text += "0123456789abcdef"[random() % 16];
        text += "> image\r\n";
        break;
      }
      case 3:
        text += "gsave 0.2 setlinewidth stroke grestore\r\n";
        break;
      default:
        text += "/F" + std::to_string(random() % 4) + " 10 selectfont\r\n";
    }
  }
  text.resize(size);
  return text;
}

struct ATTACHMENT {
  std::string display;
  std::string name;
  std::string data;
};

std::string Request(const std::vector<ATTACHMENT>& attachments, const std::string& directory) {
  std::string text =
      "!MVN - DASHPOST V5.0 (Tolvar)\r\n\r\n!PASSTHROUGH\r\nFrom:Ann Smith\r\nUserId:ann@example.test\r\n"
      "Reference:Q3                                                \r\nLocalTime:15:30   \r\n"
      "Send:24/12/2003 15:30   \r\nNotification:ALL\r\nCharge:                              \r\n"
      "Retry:                    \r\n\r\n!TARGET\r\nDestination:+44 20 7946 0000\r\nTo:Bob Jones\r\nTitle:Mr\r\n"
      "First:Bob\r\nLast:Jones\r\nCompany:Example Ltd\r\n\r\n!PASSTHROUGH-END\r\n\r\n";
  for (const auto& a : attachments) text += "!ExtAttachment," + a.display + "," + directory + "/" + a.name + "\r\n";
  text += "\r\n!MVN-END\r\n";
  return text;
}

// Sends the attachments in one request with the settings; checks every
// payload and every request line of the decoded job.
void SendAndCompare(const std::map<std::string, std::string>& settings, const std::vector<ATTACHMENT>& attachments) {
  SendMachine machine;
  for (const auto& [key, value] : settings) machine.settings[key] = value;
  std::filesystem::create_directories(machine.Path("client"));
  for (const auto& a : attachments) WriteFile(machine.Path("client/" + a.name), a.data);
  const std::string request = Request(attachments, machine.Path("client"));
  WriteFile(machine.Path("client/Faxout.tmp"), request);

  RunResult run = machine.Run({machine.Path("client/Faxout.tmp")});
  ASSERT_FALSE(run.timedOut);
  ASSERT_EQ(run.exitCode, 0) << ReadFile(machine.Path("boxes.log"));
  auto outbox = machine.Outbox();
  ASSERT_EQ(outbox.size(), 1u);
  DecodedJob job = DecodeJob(outbox[0], machine.Path("decoded"));
  ASSERT_EQ(job.exitCode, 0) << job.error;
  for (std::size_t i = 0; i < attachments.size(); ++i) {
    std::string payload = job.Payload(static_cast<int>(i), "ATTACHMENT");
    ASSERT_EQ(payload.size(), attachments[i].data.size()) << attachments[i].name;
    EXPECT_TRUE(payload == attachments[i].data) << attachments[i].name << " differs";
    EXPECT_NE(job.summary.find("\"display_name\": \"" + attachments[i].display + "\""), std::string::npos);
  }
  // Every request line is in the job's body, in order, the request's own
  // closing line included.
  std::size_t at = 0;
  std::size_t start = 0;
  while (start < request.size()) {
    std::size_t end = request.find("\r\n", start);
    std::string line = request.substr(start, end - start);
    start = end + 2;
    if (line.rfind("!ExtAttachment", 0) == 0) continue;
    std::string quoted = "\"line\": \"" + line + "\"";
    std::size_t found = job.summary.find(quoted, at);
    ASSERT_NE(found, std::string::npos) << "request line missing: " << line;
    at = found + 1;
  }
  // Nothing is left behind: inputs, intermediates and the job directory.
  EXPECT_TRUE(ListDirectory(machine.Path("client")).empty());
  EXPECT_EQ(ListDirectory(machine.Path("work")), (std::vector<std::string>{"I", "X"}));
  EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
  EXPECT_TRUE(ListDirectory(machine.Path("work/X")).empty());
}

}  // namespace

TEST(EndToEnd, RequestWithAttachmentsDecodesByteForByte) {
  const std::vector<ATTACHMENT> attachments = {
      {"report.ps", "report.ps", PostScript(3 * 1024 * 1024 + 17, 1)},
      {"scan.tif", "scan.tif", RandomBytes(1024 * 1024 + 5, 2)},
      {"empty.txt", "empty.txt", ""},
      {"one", "one.bin", "A"},
      {"ring", "ring.bin", PostScript(4097, 3)},
      {"blanks", "blanks.bin", std::string(100000, ' ')},
  };
  struct SETTINGS {
    const char* name;
    std::map<std::string, std::string> values;
  };
  const std::vector<SETTINGS> table = {
      {"defaults", {}},
      {"compressed 64 sections, hex wrapper",
       {{"CompressAttachments", "1"}, {"EncodeAttachments", "2"}, {"EncodeFile", "1"}}},
      {"raw sections, compressed raw wrapper", {{"EncodeAttachments", "0"}, {"EncodeFile", "0"}}},
      {"compressed hex sections, no wrapper",
       {{"CompressAttachments", "1"}, {"CompressFile", "0"}, {"EncodeFile", "0"}, {"IdentityToken", "GMvk9tCWQMG."}}},
  };
  for (const auto& settings : table) {
    SCOPED_TRACE(settings.name);
    SendAndCompare(settings.values, attachments);
  }
}

TEST(EndToEnd, ConcurrentRunsOnOneWorkingDirectory) {
  // Several clients hand in request files of the same name at once; every
  // run gets its own job directory and every fax arrives whole.
  constexpr int kRuns = 6;
  SendMachine machine;
  machine.settings["CompressAttachments"] = "1";
  // All runs wait inside SendFile for each other, so every job directory
  // exists at the same moment and none can be the name of one already gone.
  std::filesystem::create_directories(machine.Path("meet"));
  machine.settings["FixtureMeetAt"] = machine.Path("meet");
  machine.settings["FixtureMeetCount"] = std::to_string(kRuns);
  machine.Write();
  std::vector<std::string> data;
  for (int i = 0; i < kRuns; ++i) {
    std::string dir = machine.Path("client" + std::to_string(i));
    std::filesystem::create_directories(dir);
    data.push_back(PostScript(200000 + i, 10 + i));
    WriteFile(dir + "/page.ps", data.back());
    WriteFile(dir + "/Faxout.tmp", Request({{"page" + std::to_string(i), "page.ps", ""}}, dir));
  }
  std::vector<std::thread> threads;
  std::vector<RunResult> results(kRuns);
  for (int i = 0; i < kRuns; ++i) {
    threads.emplace_back([&, i] {
      std::vector<std::string> argv{MVN_MVNCSEND, machine.Path("client" + std::to_string(i) + "/Faxout.tmp")};
      results[i] = RunProgram(argv, machine.env);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kRuns; ++i) EXPECT_EQ(results[i].exitCode, 0) << i << ": " << results[i].err;

  auto outbox = machine.Outbox();
  ASSERT_EQ(outbox.size(), static_cast<std::size_t>(kRuns));
  std::vector<bool> seen(kRuns, false);
  for (std::size_t k = 0; k < outbox.size(); ++k) {
    DecodedJob job = DecodeJob(outbox[k], machine.Path("decoded" + std::to_string(k)));
    ASSERT_EQ(job.exitCode, 0) << job.error;
    std::string payload = job.Payload(0, "ATTACHMENT");
    for (int i = 0; i < kRuns; ++i) {
      if (payload == data[i] && job.summary.find("\"page" + std::to_string(i) + "\"") != std::string::npos)
        seen[i] = true;
    }
  }
  for (int i = 0; i < kRuns; ++i) EXPECT_TRUE(seen[i]) << "fax " << i << " missing or damaged";
  // Each run had a job directory of its own (the module saw distinct ones
  // while all runs were inside it), and all of them are gone.
  std::vector<std::string> directories;
  for (const auto& line : machine.ModuleLog()) {
    EXPECT_NE(line, "meet timed out");
    if (line.rfind("SendFile", 0) != 0) continue;
    std::string path = line.substr(line.find(' ', 9) + 1);
    directories.push_back(path.substr(0, path.rfind('/')));
  }
  std::sort(directories.begin(), directories.end());
  EXPECT_EQ(std::unique(directories.begin(), directories.end()), directories.end());
  EXPECT_EQ(directories.size(), static_cast<std::size_t>(kRuns));
  EXPECT_EQ(ListDirectory(machine.Path("work")), (std::vector<std::string>{"I", "X"}));
  EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
}

#ifdef MVN_DLVLOCAL
TEST(EndToEnd, ThroughTheLocalDeliveryModule) {
  // The real drop-directory module writes a delivery frame around the job:
  // "!MVN::MVN", "SENDER-DEFAULTS=...", "SENDER-TYPE=LOCAL", the job file,
  // "!MVN-END".
  SendMachine machine;
  std::filesystem::create_directories(machine.Path("drop"));
  machine.settings["DeliveryModule"] = MVN_DLVLOCAL;
  machine.settings["OutputLocation"] = machine.Path("drop");
  std::filesystem::create_directories(machine.Path("client"));
  const std::string scan = RandomBytes(300000, 9);
  WriteFile(machine.Path("client/scan.tif"), scan);
  WriteFile(machine.Path("client/Faxout.tmp"), Request({{"scan.tif", "scan.tif", ""}}, machine.Path("client")));
  RunResult run = machine.Run({machine.Path("client/Faxout.tmp")});
  ASSERT_EQ(run.exitCode, 0) << ReadFile(machine.Path("boxes.log"));
  auto frames = ListDirectory(machine.Path("drop"));
  ASSERT_EQ(frames.size(), 1u);
  std::string frame = ReadFile(machine.Path("drop/" + frames[0]));
  const std::string head = "!MVN::MVN\r\nSENDER-DEFAULTS=no\r\nSENDER-TYPE=LOCAL\r\n";
  const std::string tail = "!MVN-END\r\n";
  ASSERT_EQ(frame.rfind(head, 0), 0u);
  ASSERT_GT(frame.size(), head.size() + tail.size());
  ASSERT_EQ(frame.substr(frame.size() - tail.size()), tail);
  WriteFile(machine.Path("job"), frame.substr(head.size(), frame.size() - head.size() - tail.size()));
  DecodedJob job = DecodeJob(machine.Path("job"), machine.Path("decoded"));
  ASSERT_EQ(job.exitCode, 0) << job.error;
  EXPECT_TRUE(job.Payload(0, "ATTACHMENT") == scan);
  EXPECT_EQ(ListDirectory(machine.Path("work")), (std::vector<std::string>{"I", "X"}));
}
#endif
