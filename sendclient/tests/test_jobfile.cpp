// The job file byte for byte: one golden file per combination of send type,
// encodings, compression and identity token (the sender's clock fixed), each
// also decoded by the independent decoder and compared with its inputs.
// MVN_UPDATE_GOLDEN=1 rewrites the golden files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/sendmachine.h"

using namespace mvntest;

namespace {

// Deterministic content: PostScript-like text with some binary bytes.
std::string Content(std::size_t size, unsigned seed) {
  std::string text;
  unsigned state = seed * 2654435761u + 1;
  auto next = [&]() { return state = state * 1103515245u + 12345u; };
  static const char* const words[] = {"newpath ", "72 720 moveto ", "(Invoice) show\r\n", "0.5 setgray ",
                                      "/F1 10 selectfont\n", "stroke ", "showpage\r\n"};
  while (text.size() < size) {
    if (next() % 11 == 0) {
      for (int i = 0; i < 24; ++i) text += static_cast<char>(next() >> 16);
    } else {
      text += words[(next() >> 8) % 7];
    }
  }
  text.resize(size);
  return text;
}

struct CASE {
  std::string name;
  std::map<std::string, std::string> settings;
  // Words before the input file; "REQUEST" makes the input a request file
  // with two attachments.
  std::vector<std::string> words;
  bool request = false;
  std::size_t size = 3000;
};

std::string Request(const std::string& first, const std::string& second) {
  (void)first;
  (void)second;
  return "!MVN - DASHPOST V5.0 (Tolvar)\r\n\r\n!PASSTHROUGH\r\nFrom:Ann Smith\r\nUserId:ann@example.test\r\n"
         "\r\n!TARGET\r\nDestination:+44 20 7946 0000\r\nTo:Bob Jones\r\n\r\n!PASSTHROUGH-END\r\n\r\n"
         "!ExtAttachment,invoice.ps,invoice.ps\r\n!ExtAttachment,notes.txt,notes.txt\r\n\r\n!MVN-END\r\n";
}

const std::string kToken = "GMvk9tCWQMG.";  // "Ann's id" in the 64-character alphabet

}  // namespace

TEST(JobFile, GoldenFilesAcrossSendTypesEncodingsAndCompression) {
  const std::vector<CASE> cases = {
      {"plain-defaults", {}, {}},
      {"plain-raw", {{"CompressFile", "0"}, {"EncodeFile", "0"}, {"EncodeAttachments", "0"}}, {}},
      {"plain-hex-wrapper", {{"CompressFile", "0"}, {"EncodeFile", "1"}}, {}},
      {"morvane-compressed-64",
       {{"CompressAttachments", "1"}, {"EncodeAttachments", "2"}, {"CompressFile", "0"}, {"EncodeFile", "0"}},
       {"MORVANE="}},
      {"gateway-token-raw-wrapper", {{"IdentityToken", kToken}, {"EncodeFile", "0"}}, {"SENDTYPE=GATEWAY"}},
      {"register-64-hex-wrapper", {{"EncodeAttachments", "2"}, {"EncodeFile", "1"}}, {"REG="}},
      {"group-list", {{"CompressFile", "0"}, {"EncodeFile", "0"}}, {"LIST:Sales"}},
      {"request-compressed-sections-token",
       {{"CompressAttachments", "1"}, {"IdentityToken", kToken}},
       {},
       true},
      {"request-raw", {{"EncodeAttachments", "0"}, {"CompressFile", "0"}, {"EncodeFile", "0"}}, {}, true},
      {"size-8191", {{"EncodeAttachments", "2"}, {"CompressFile", "0"}}, {}, false, 8191},
      {"size-8192", {{"EncodeAttachments", "2"}, {"CompressFile", "0"}}, {}, false, 8192},
      {"size-8193", {{"EncodeAttachments", "2"}, {"CompressFile", "0"}}, {}, false, 8193},
  };
  const bool update = std::getenv("MVN_UPDATE_GOLDEN") != nullptr;
  for (const CASE& c : cases) {
    SendMachine machine;
    for (const auto& [key, value] : c.settings) machine.settings[key] = value;
    const std::string input = Content(c.size, 1);
    const std::string invoice = Content(2500, 2);
    const std::string notes = "Call before noon.\r\n";
    std::string inputPath = machine.Path(c.request ? "Faxout.tmp" : "input.ps");
    if (c.request) {
      WriteFile(inputPath, Request(invoice, notes));
      WriteFile(machine.Path("invoice.ps"), invoice);
      WriteFile(machine.Path("notes.txt"), notes);
    } else {
      WriteFile(inputPath, input);
    }
    std::vector<std::string> words;
    bool glued = false;
    for (const auto& word : c.words) {
      if (word.back() == '=') {
        words.push_back(word + inputPath);
        glued = true;
      } else {
        words.push_back(word);
      }
    }
    if (!glued) words.push_back(inputPath);
    RunResult run = machine.Run(words);
    ASSERT_EQ(run.exitCode, 0) << c.name << "\n" << ReadFile(machine.Path("boxes.log"));
    auto outbox = machine.Outbox();
    ASSERT_EQ(outbox.size(), 1u) << c.name;
    const std::string job = ReadFile(outbox[0]);

    const std::string golden = std::string(MVN_GOLDEN_DIR) + "/" + c.name + ".job";
    if (update) {
      std::filesystem::create_directories(MVN_GOLDEN_DIR);
      WriteFile(golden, job);
    }
    EXPECT_EQ(job, ReadFile(golden)) << c.name << ": differs from " << golden;

    DecodedJob decoded = DecodeJob(outbox[0], machine.Path("decoded"));
    ASSERT_EQ(decoded.exitCode, 0) << c.name << ": " << decoded.error;
    EXPECT_NE(decoded.summary.find("\"SENDER-TIME\": \"3ae8d086\""), std::string::npos) << c.name;
    if (c.request) {
      EXPECT_EQ(decoded.Payload(0, "ATTACHMENT"), invoice) << c.name;
      EXPECT_EQ(decoded.Payload(1, "ATTACHMENT"), notes) << c.name;
    } else {
      std::string section = c.words.empty()                         ? "MORVANE"
                            : c.words[0].rfind("MORVANE", 0) == 0   ? "MORVANE"
                            : c.words[0] == "SENDTYPE=GATEWAY"      ? "GATEWAY"
                            : c.words[0].rfind("REG", 0) == 0       ? "REGISTER"
                                                                    : "GROUPDATA";
      EXPECT_EQ(decoded.Payload(0, section), input) << c.name;
    }
  }
}

TEST(JobFile, LayoutOfTheDefaultWrapperAndOfAGroupList) {
  SendMachine machine;
  WriteFile(machine.Path("sales.csv"), "Name,Fax\r\nBob,+44 20 7946 0000\r\n");
  ASSERT_EQ(machine.Run({"LIST:Sales", machine.Path("sales.csv")}).exitCode, 0);
  std::string job = ReadFile(machine.Outbox()[0]);
  EXPECT_EQ(job.rfind("!MVN::MVN\r\n!GATEWAY,1,2\r\n ", 0), 0u) << job.substr(0, 40);
  EXPECT_EQ(job.substr(job.size() - 26), "\r\n!GATEWAY-END\r\n!MVN-END\r\n");
  DecodedJob decoded = DecodeJob(machine.Outbox()[0], machine.Path("decoded"));
  ASSERT_EQ(decoded.exitCode, 0) << decoded.error;
  EXPECT_NE(decoded.summary.find("\"display_name\": \"Sales\""), std::string::npos);
  EXPECT_EQ(decoded.Payload(0, "GROUPDATA"), "Name,Fax\r\nBob,+44 20 7946 0000\r\n");
}
