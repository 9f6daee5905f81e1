// mvncsend as a real program meeting failures: reads and writes that fail
// (through the fault-injecting shim), full disks, FIFOs and devices where
// files are expected, and the exit code and message of each. What matters
// in every case: nothing unsent is deleted, nothing incomplete is sent,
// nothing hangs, and the user is told in words.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/sendmachine.h"

using namespace mvntest;
using namespace std::string_literals;

namespace {

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::string AllBoxes(const SendMachine& machine) { return ReadFile(machine.Path("boxes.log")); }

// A request of the client's shape with the given attachment lines.
std::string Request(const std::vector<std::string>& attachmentLines, int extraLines = 0) {
  std::string text = "!MVN - DASHPOST V5.0 (Tolvar)\r\n!PASSTHROUGH\r\nFrom:Ann Smith\r\nTo:Bob Jones\r\n";
  for (int i = 0; i < extraLines; ++i) text += "Note:line " + std::to_string(i) + " of the request\r\n";
  text += "!PASSTHROUGH-END\r\n";
  for (const auto& line : attachmentLines) text += line + "\r\n";
  text += "!MVN-END\r\n";
  return text;
}

// Preloads the shim with the given settings.
void InjectFaults(SendMachine* machine, const std::map<std::string, std::string>& faults) {
  machine->env["LD_PRELOAD"] = MVN_FAULTSHIM;
  const char* asan = std::getenv("ASAN_OPTIONS");
  machine->env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
  for (const auto& [key, value] : faults) machine->env[key] = value;
}

void MakeFifo(const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path; }

void MakeSocket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path) << path;
  std::copy(path.begin(), path.end(), address.sun_path);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  close(fd);  // the socket file stays
}

bool NodeExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Failed reads and writes

TEST(SendClientFaults, AFailedReadOrWriteKeepsEverythingAndSaysWhy) {
  struct CASE {
    const char* name;
    std::map<std::string, std::string> faults;
    std::string message;  // expected in the one message shown
  };
  // The request is some 100 KB, so a failure after 20,000 bytes is in the
  // middle of it; the attachment is 30,000 bytes.
  const std::vector<CASE> cases = {
      {"EIO in the middle of the request", {{"MVN_FAULT_READ", "req.txt"}, {"MVN_FAULT_AFTER", "20000"}},
       "The fax was not sent: reading "},
      {"EIO on the first read of the request", {{"MVN_FAULT_READ", "req.txt"}}, "The fax was not sent: reading "},
      {"EIO in the middle of the attachment", {{"MVN_FAULT_READ", "scan.tif"}, {"MVN_FAULT_AFTER", "5000"}},
       "The fax was not sent: reading the attachment \"Scan\" ("},
      {"EIO on the job write", {{"MVN_FAULT_WRITE", "/work/0/MVN"}, {"MVN_FAULT_AFTER", "3000"}},
       "The fax was not sent: writing the job file "},
      {"disk full on the job write",
       {{"MVN_FAULT_WRITE", "/work/0/MVN"}, {"MVN_FAULT_AFTER", "3000"}, {"MVN_FAULT_ERRNO", std::to_string(ENOSPC)}},
       "There is not enough space on the disk."},
  };
  for (const CASE& c : cases) {
    SCOPED_TRACE(c.name);
    SendMachine machine;
    InjectFaults(&machine, c.faults);
    const std::string attachment(30000, 'T');
    const std::string request = Request({"!ExtAttachment,Scan,scan.tif"}, 3000);
    WriteFile(machine.Path("scan.tif"), attachment);
    WriteFile(machine.Path("req.txt"), request);
    RunResult run = machine.Run({machine.Path("req.txt")});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_FALSE(Contains(machine.ModuleLog(), "SendFile"));
    // The input is back where it came from, whole; the attachment untouched.
    EXPECT_TRUE(ReadFile(machine.Path("req.txt")) == request);
    EXPECT_TRUE(ReadFile(machine.Path("scan.tif")) == attachment);
    EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
    auto kept = ListDirectory(machine.Path("work/X"));
    ASSERT_EQ(kept.size(), 1u);
    // One message, naming what failed and where the job and input are.
    auto boxes = machine.Boxes();
    ASSERT_EQ(boxes.size(), 1u) << AllBoxes(machine);
    EXPECT_NE(boxes[0].find(c.message), std::string::npos) << boxes[0];
    EXPECT_NE(boxes[0].find("The job is kept as " + machine.Path("work/X/" + kept[0])), std::string::npos)
        << boxes[0];
    EXPECT_NE(boxes[0].find("and its input as " + machine.Path("req.txt")), std::string::npos) << boxes[0];
    EXPECT_EQ(ListDirectory(machine.Path("work")), (std::vector<std::string>{"I", "X"}));
  }
}

TEST(SendClientFaults, AJobFileThatCannotBeCreatedKeepsTheInput) {
  SendMachine machine;
  InjectFaults(&machine, {{"MVN_FAULT_OPEN", "/work/0/MVN"}, {"MVN_FAULT_ERRNO", std::to_string(EACCES)}});
  WriteFile(machine.Path("in.txt"), "the fax\r\n");
  RunResult run = machine.Run({machine.Path("in.txt")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(ReadFile(machine.Path("in.txt")), "the fax\r\n");
  EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
  EXPECT_TRUE(ListDirectory(machine.Path("work/X")).empty());
  EXPECT_EQ(machine.Boxes(),
            std::vector<std::string>{"mvncsend: The fax was not sent: no job file can be created in " +
                                     machine.Path("work/0") + ": Access is denied. / Its input is kept as " +
                                     machine.Path("in.txt")});
}

TEST(SendClientFaults, AnInputThatCannotGoBackWaitsBesideItsJob) {
  SendMachine machine;
  // The move back to the client's directory fails; the one into X works.
  InjectFaults(&machine, {{"MVN_FAULT_RENAME", "client/Faxout.tmp"}, {"MVN_FAULT_ERRNO", std::to_string(EACCES)}});
  std::filesystem::create_directories(machine.Path("client"));
  const std::string request = Request({"!ExtAttachment,Gone,gone.ps"});
  WriteFile(machine.Path("client/Faxout.tmp"), request);
  RunResult run = machine.Run({machine.Path("client/Faxout.tmp")});
  EXPECT_EQ(run.exitCode, 1);
  auto kept = ListDirectory(machine.Path("work/X"));
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1], kept[0] + ".input");
  EXPECT_EQ(ReadFile(machine.Path("work/X/" + kept[1])), request);
  EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
  EXPECT_TRUE(Contains(machine.Boxes(), "and its input as " + machine.Path("work/X/" + kept[1]))) << AllBoxes(machine);
}

TEST(SendClientFaults, AReadErrorIsNamedWithTheSystemsText) {
  SendMachine machine;
  InjectFaults(&machine, {{"MVN_FAULT_READ", "plain.ps"}, {"MVN_FAULT_AFTER", "100"}});
  WriteFile(machine.Path("plain.ps"), std::string(50000, 'p'));
  RunResult run = machine.Run({machine.Path("plain.ps")});
  EXPECT_EQ(run.exitCode, 1);
  // Read after the move into WorkingPathI: the message names that path.
  EXPECT_TRUE(Contains(machine.Boxes(), "reading " + machine.Path("work/I/plain.ps") +
                                            ": A device attached to the system is not functioning."))
      << AllBoxes(machine);
  EXPECT_TRUE(ReadFile(machine.Path("plain.ps")) == std::string(50000, 'p'));
}

TEST(SendClientFaults, ASmallFileSystemKeepsTheInputWithoutEncoding) {
  // The raw job (the input's size and a little) outgrows the file-size
  // limit: the job is kept in WorkingPathX, the input goes back.
  SendMachine machine;
  machine.fileSizeLimit = 200000;
  machine.settings["EncodeAttachments"] = "0";
  const std::string input(250000, 'r');
  WriteFile(machine.Path("big.ps"), input);
  RunResult run = machine.Run({machine.Path("big.ps")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(ReadFile(machine.Path("big.ps")) == input);
  EXPECT_EQ(ListDirectory(machine.Path("work/X")).size(), 1u);
  EXPECT_TRUE(Contains(machine.Boxes(), "The fax was not sent: writing the job file ")) << AllBoxes(machine);
}

// ---------------------------------------------------------------------------
// Missing attachments

TEST(SendClientFaults, AMissingAttachmentKeepsTheRequestAndTheOthers) {
  SendMachine machine;
  WriteFile(machine.Path("cover.txt"), "cover page\r\n");
  const std::string request = Request({"!ExtAttachment,Cover,cover.txt", "!ExtAttachment,Figures,figures.xls"});
  WriteFile(machine.Path("Faxout.tmp"), request);
  RunResult run = machine.Run({machine.Path("Faxout.tmp")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(ReadFile(machine.Path("Faxout.tmp")), request);
  EXPECT_EQ(ReadFile(machine.Path("cover.txt")), "cover page\r\n");
  auto kept = ListDirectory(machine.Path("work/X"));
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(machine.Boxes(),
            std::vector<std::string>{"mvncsend: The fax was not sent: the attachment \"Figures\" (" +
                                     machine.Path("figures.xls") + ") cannot be found / The job is kept as " +
                                     machine.Path("work/X/" + kept[0]) + " / and its input as " +
                                     machine.Path("Faxout.tmp")});

  // The configuration's texts replace the defaults.
  machine.extraIni = "[mvncsend-MESSAGES]\r\nNOTIFY_JOBKEPT=NL,1,Not sent (%1). Request: %3.\r\n";
  std::filesystem::remove(machine.Path("boxes.log"));
  machine.Run({machine.Path("Faxout.tmp")});
  EXPECT_EQ(machine.Boxes(), std::vector<std::string>{"mvncsend: Not sent (the attachment \"Figures\" (" +
                                                      machine.Path("figures.xls") + ") cannot be found). Request: " +
                                                      machine.Path("Faxout.tmp") + "."});
}

// ---------------------------------------------------------------------------
// Files that are not regular files

TEST(SendClientFaults, NonRegularFilesAreRefusedUntouchedAndNothingHangs) {
  struct KIND {
    const char* name;
    void (*make)(const std::string& path);
  };
  const std::vector<KIND> kinds = {
      {"FIFO", [](const std::string& path) { MakeFifo(path); }},
      {"socket", [](const std::string& path) { MakeSocket(path); }},
      {"character device", [](const std::string& path) { std::filesystem::create_symlink("/dev/zero", path); }},
      {"symlink to a FIFO",
       [](const std::string& path) {
         MakeFifo(path + ".target");
         std::filesystem::create_symlink(path + ".target", path);
       }},
  };
  enum ROLE { kInput, kAttachment, kDirectoryEntry, kConfig };
  const std::vector<std::pair<ROLE, const char*>> roles = {
      {kInput, "input"}, {kAttachment, "attachment"}, {kDirectoryEntry, "directory entry"}, {kConfig, "CONFIG"}};
  for (const KIND& kind : kinds) {
    for (const auto& [role, roleName] : roles) {
      SCOPED_TRACE(std::string(kind.name) + " as " + roleName);
      SendMachine machine;
      std::filesystem::create_directories(machine.Path("queue"));
      const std::string node = role == kDirectoryEntry ? machine.Path("queue/n") : machine.Path("n");
      kind.make(node);
      std::vector<std::string> words;
      const std::string request = Request({"!ExtAttachment,Node," + machine.Path("n")});
      switch (role) {
        case kInput:
          words = {node};
          break;
        case kAttachment:
          WriteFile(machine.Path("req.txt"), request);
          words = {machine.Path("req.txt")};
          break;
        case kDirectoryEntry:
          words = {machine.Path("queue")};
          break;
        case kConfig:
          WriteFile(machine.Path("in.txt"), "data\r\n");
          words = {"CONFIG=" + node, machine.Path("in.txt")};
          break;
      }
      RunResult run = machine.Run(words);
      ASSERT_FALSE(run.timedOut);
      EXPECT_EQ(run.exitCode, 1) << run.err;
      EXPECT_TRUE(NodeExists(node));
      EXPECT_TRUE(NodeExists("/dev/zero"));
      EXPECT_FALSE(Contains(machine.ModuleLog(), "SendFile"));
      EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
      EXPECT_TRUE(Contains(machine.Boxes(), "is not a regular file")) << AllBoxes(machine);
      if (role == kAttachment) {
        EXPECT_EQ(ReadFile(machine.Path("req.txt")), request);
        EXPECT_EQ(ListDirectory(machine.Path("work/X")).size(), 1u);
      }
      if (role == kConfig) {
        EXPECT_EQ(ReadFile(machine.Path("in.txt")), "data\r\n");
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Exit codes and what the user reads

TEST(SendClientFaults, EmptyDirectoryAndConfigNamedExplicitly) {
  SendMachine machine;
  std::filesystem::create_directories(machine.Path("queue"));
  RunResult run = machine.Run({machine.Path("queue")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(machine.Boxes(), std::vector<std::string>{"mvncsend: nothing to send: the directory " +
                                                      machine.Path("queue") + " holds no file matching *.*"});

  // CONFIG naming an existing file: no search for the INI file is reported.
  SendMachine named;
  named.Write();
  std::filesystem::rename(named.Path("windows/mvncsend.INI"), named.Path("mine.ini"));
  WriteFile(named.Path("in.txt"), "data\r\n");
  run = named.Run({"CONFIG=" + named.Path("mine.ini"), named.Path("in.txt")}, false);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(named.Boxes().empty()) << AllBoxes(named);
  EXPECT_EQ(named.Outbox().size(), 1u);
}

TEST(SendClientFaults, KeepFilesWithoutKeepFilesPathKeepsInK) {
  SendMachine machine;
  machine.settings["KeepFiles"] = "1";
  WriteFile(machine.Path("doc.txt"), "attached\r\n");
  WriteFile(machine.Path("req.txt"), Request({"!ExtAttachment,Doc,doc.txt"}));
  RunResult run = machine.Run({machine.Path("req.txt")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(machine.Outbox().size(), 1u);
  EXPECT_EQ(ListDirectory(machine.Path("work/K")), (std::vector<std::string>{"doc.txt", "req.txt"}));
  EXPECT_FALSE(Exists(machine.Path("req.txt")));
}

TEST(SendClientFaults, NulBytesInARequestLineAreKept) {
  SendMachine machine;
  machine.settings["CompressFile"] = "0";
  machine.settings["EncodeFile"] = "0";
  WriteFile(machine.Path("req.txt"), "!MVN\r\nTo:Bob\0hidden\r\n!MVN-END\r\n"s);
  ASSERT_EQ(machine.Run({machine.Path("req.txt")}).exitCode, 0);
  ASSERT_EQ(machine.Outbox().size(), 1u);
  EXPECT_NE(ReadFile(machine.Outbox()[0]).find("\r\nTo:Bob\0hidden\r\n"s), std::string::npos);
}

TEST(SendClientFaults, AnExpansionBombIsCutAndTheRunGoesOn) {
  SendMachine machine;
  // Each level quadruples: V0 would be 4^10 bytes.
  std::string vars = "[APPVARS]\r\n";
  for (int i = 0; i < 10; ++i) {
    std::string next = "%V" + std::to_string(i + 1) + "%";
    vars += "V" + std::to_string(i) + "=" + next + next + next + next + "\r\n";
  }
  vars += "V10=x\r\n";
  machine.extraIni = vars;
  WriteFile(machine.Path("in.txt"), "data\r\n");
  RunResult run = machine.Run({machine.Path("in.txt")}, true);
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(machine.Outbox().size(), 1u);
  EXPECT_TRUE(Contains(machine.Boxes(), "the variable V0 was removed")) << AllBoxes(machine);
  // V6 grows to 4^4 bytes (and never more than 4^3 references on the way).
  EXPECT_FALSE(Contains(machine.Boxes(), "the variable V6 was removed"));
}
