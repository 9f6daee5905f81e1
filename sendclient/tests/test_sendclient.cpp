// mvncsend as a real program: exit codes, the module host, the job file's
// layout and what happens to inputs, attachments and job files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/kernel/win32.h"
#include "tests/support/sendmachine.h"

using namespace mvntest;

namespace {

std::string RequestFile(const std::vector<std::string>& attachmentLines) {
  std::string text =
      "!MVN - DASHPOST V5.0 (Tolvar)\r\n"
      "\r\n"
      "!PASSTHROUGH\r\n"
      "From:Ann Smith\r\n"
      "UserId:ann@example.test\r\n"
      "Reference:Q3 figures                                        \r\n"
      "Retry:Standard            \r\n"
      "\r\n"
      "!TARGET\r\n"
      "Destination:+44 20 7946 0000                                                                       \r\n"
      "To:Bob Jones\r\n"
      "Title:\r\nFirst:Bob\r\nLast:Jones\r\nCompany:Example Ltd\r\n"
      "\r\n"
      "!PASSTHROUGH-END\r\n"
      "\r\n";
  for (const auto& line : attachmentLines) text += line + "\r\n";
  text += "\r\n!MVN-END\r\n";
  return text;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Hexadecimal body lines as the job file holds them (32 bytes a line,
// restarting at every 8,192 bytes).
std::string HexLines(const std::string& bytes) {
  std::string out;
  for (std::size_t block = 0; block < bytes.size(); block += 8192) {
    std::string part = bytes.substr(block, 8192);
    for (std::size_t at = 0; at < part.size(); at += 32) out += " " + Hex(part.substr(at, 32)) + "\r\n";
  }
  return out;
}

}  // namespace

TEST(SendClient, SendsARequestWithItsAttachment) {
  SendMachine machine;
  std::string document = "%!PS-Adobe-3.0\r\n/Helvetica findfont 12 scalefont setfont\r\nshowpage\r\n";
  WriteFile(machine.Path("doc.ps"), document);
  std::string request = RequestFile({"!ExtAttachment,doc.ps," + machine.Path("doc.ps")});
  WriteFile(machine.Path("Faxout.tmp"), request);
  RunResult run = machine.Run({machine.Path("Faxout.tmp")});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  auto outbox = machine.Outbox();
  ASSERT_EQ(outbox.size(), 1u);
  DecodedJob job = DecodeJob(outbox[0], machine.Path("decoded"));
  ASSERT_EQ(job.exitCode, 0) << job.error;
  EXPECT_EQ(job.Payload(0, "ATTACHMENT"), document);
  EXPECT_FALSE(Exists(machine.Path("doc.ps")));
  EXPECT_FALSE(Exists(machine.Path("Faxout.tmp")));
  EXPECT_EQ(ListDirectory(machine.Path("work")), (std::vector<std::string>{"I", "X"}));
  EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
  EXPECT_TRUE(ListDirectory(machine.Path("work/X")).empty());
  auto log = machine.ModuleLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "Initialize mvncsend");
  EXPECT_EQ(log[1].rfind("SendFile 1 " + machine.Path("work/0/MVN"), 0), 0u) << log[1];
  EXPECT_EQ(log[2], "Terminate record");
  EXPECT_TRUE(machine.Boxes().empty());
}

// One file named by two attachment lines (here by a relative and a full
// name) goes out twice and is disposed of once: no failed second delete or
// move is shown, and nothing else is touched.
TEST(SendClient, AnAttachmentNamedTwiceIsSentTwiceAndDisposedOfOnce) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "KeepFilesPath" : "deleted");
    SendMachine machine;
    if (keep) machine.settings["KeepFilesPath"] = machine.Path("keep");
    WriteFile(machine.Path("a.bin"), "the page\r\n");
    WriteFile(machine.Path("Faxout.tmp"),
              RequestFile({"!ExtAttachment,First,a.bin", "!ExtAttachment,Again," + machine.Path("a.bin")}));
    RunResult run = machine.Run({machine.Path("Faxout.tmp")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(machine.Boxes().empty()) << ReadFile(machine.Path("boxes.log"));
    auto outbox = machine.Outbox();
    ASSERT_EQ(outbox.size(), 1u);
    DecodedJob job = DecodeJob(outbox[0], machine.Path("decoded"));
    ASSERT_EQ(job.exitCode, 0) << job.error;
    EXPECT_EQ(job.Payload(0, "ATTACHMENT"), "the page\r\n");
    EXPECT_EQ(job.Payload(1, "ATTACHMENT"), "the page\r\n");
    EXPECT_FALSE(Exists(machine.Path("a.bin")));
    if (keep) {
      EXPECT_EQ(ListDirectory(machine.Path("keep")), std::vector<std::string>{"a.bin"});
    }
  }
}

// The INI file is found without regard to case at every place of the
// search path, as it is beside the program.
TEST(SendClient, TheIniFileIsFoundWithoutCaseAlongTheSearchPath) {
  for (const std::string place : {"windows", "windows/system", "path"}) {
    for (const std::string name : {"mvncsend.ini", "MVNCSEND.INI"}) {
      SCOPED_TRACE(place + "/" + name);
      SendMachine machine;
      machine.Write();
      std::filesystem::create_directories(machine.Path(place));
      std::filesystem::rename(machine.Path("windows/mvncsend.INI"), machine.Path(place + "/" + name));
      if (place == "path") {
        const char* path = std::getenv("PATH");
        machine.env["PATH"] = machine.Path("path") + ":" + (path ? path : "");
      }
      WriteFile(machine.Path("in.txt"), "the fax\r\n");
      RunResult run = machine.Run({machine.Path("in.txt")}, false);
      EXPECT_EQ(run.exitCode, 0) << ReadFile(machine.Path("boxes.log"));
      EXPECT_EQ(machine.Outbox().size(), 1u);
      EXPECT_TRUE(machine.Boxes().empty()) << ReadFile(machine.Path("boxes.log"));
    }
  }
}

// ---------------------------------------------------------------------------
// Exit codes and the start-up path

// Nothing was sent in any of these, so the exit code is 1, and each says
// why in words.
TEST(SendClient, RefusedWordsAndMissingConfigurationEndWithOne) {
  struct CASE {
    const char* name;
    std::vector<std::string> words;
    bool removeIni;
    std::string box;  // expected in the message boxes
  };
  SendMachine machine;
  WriteFile(machine.Path("in.txt"), "data\r\n");
  const std::vector<CASE> cases = {
      {"unknown send type", {"SENDTYPE=fax", machine.Path("in.txt")}, false,
       "SENDTYPE=fax is not a switch or file that mvncsend knows. Usage: mvncsend [CONFIG=file]"},
      {"CONFIG without a path", {"CONFIG=", machine.Path("in.txt")}, false,
       "CONFIG= is not a switch or file that mvncsend knows"},
      {"CONFIG naming no file", {"CONFIG=" + machine.Path("none.ini"), machine.Path("in.txt")}, false,
       "configuration file not found: " + machine.Path("none.ini")},
      {"no INI file, no registry key", {machine.Path("in.txt")}, true,
       "CPATH::SearchPath failed (mvncsend.INI): The system cannot find the file specified."},
  };
  for (const CASE& c : cases) {
    machine.Write();
    if (c.removeIni) std::remove(machine.Path("windows/mvncsend.INI").c_str());
    std::remove(machine.Path("boxes.log").c_str());
    RunResult run = machine.Run(c.words, false);
    EXPECT_EQ(run.exitCode, 1) << c.name << "\n" << run.err;
    EXPECT_TRUE(Contains(machine.Boxes(), c.box)) << c.name << ": " << ReadFile(machine.Path("boxes.log"));
    EXPECT_TRUE(machine.ModuleLog().empty()) << c.name;  // no module loaded
    EXPECT_TRUE(Exists(machine.Path("in.txt"))) << c.name;
  }
}

// Help is given before anything is read: no configuration, no module, no
// box, no search error.
TEST(SendClient, HelpPrintsTheUsageOnStandardOutput) {
  SendMachine machine;
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"--help"}, {"-h"}, {"CONFIG=/no/such.ini", "--help"}}) {
    std::remove(machine.Path("windows/mvncsend.INI").c_str());
    RunResult run = machine.Run(words, false);
    EXPECT_EQ(run.exitCode, 0) << words.back() << "\n" << run.err;
    EXPECT_EQ(run.out.rfind("Usage: mvncsend [switches] [file-or-directory]\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("SENDTYPE=type"), std::string::npos);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(machine.Boxes().empty());
    EXPECT_TRUE(machine.ModuleLog().empty());
    EXPECT_FALSE(Exists(machine.Path("work")));
  }
}

TEST(SendClient, FailedInitialisationEndsWithOne) {
  struct CASE {
    std::string name;
    std::map<std::string, std::string> settings;  // "" removes a key
    std::vector<std::string> words;
    std::string box;
  };
  SendMachine base;
  const std::string in = base.Path("in.txt");
  WriteFile(base.Path("notamodule.so"), "this is text, not a loadable object\n");
  // work2/I is a file, so the input directory cannot be created there.
  std::filesystem::create_directories(base.Path("work2"));
  WriteFile(base.Path("work2/I"), "in the way");
  const std::vector<CASE> cases = {
      {"bare word naming nothing", {}, {base.Path("nothing-here.txt")},
       base.Path("nothing-here.txt") + " is not a switch or file that mvncsend knows"},
      {"no DeliveryModule", {{"DeliveryModule", ""}}, {in},
       "the setting DeliveryModule is missing from section [mvncsend] of the configuration"},
      {"DeliveryModule naming no file", {{"DeliveryModule", base.Path("gone.so")}}, {in},
       "the file " + base.Path("gone.so") + " of the setting DeliveryModule in section [mvncsend] does not exist"},
      {"not a loadable module", {{"DeliveryModule", base.Path("notamodule.so")}}, {in},
       "CPATH::Initialize failed (LoadLibrary)"},
      {"input directory cannot be made", {{"WorkingPath", base.Path("work2")}}, {in},
       "CPATH::CreateDirectory failed (" + base.Path("work2/I") + ")"},
      {"unknown EncodeFile", {{"EncodeFile", "7"}}, {in},
       "the setting EncodeFile in section [mvncsend] of the configuration has the invalid value 7"},
      {"unknown EncodeAttachments", {{"EncodeAttachments", "3"}}, {in},
       "the setting EncodeAttachments in section [mvncsend] of the configuration has the invalid value 3"},
  };
  for (const CASE& c : cases) {
    SendMachine machine;
    for (const auto& [key, value] : c.settings) {
      if (value.empty())
        machine.settings.erase(key);
      else
        machine.settings[key] = value;
    }
    WriteFile(in, "data\r\n");
    RunResult run = machine.Run(c.words);
    EXPECT_EQ(run.exitCode, 1) << c.name << "\n" << run.err;
    EXPECT_TRUE(Contains(machine.Boxes(), c.box)) << c.name << ": " << ReadFile(machine.Path("boxes.log"));
    EXPECT_TRUE(Exists(in)) << c.name << ": the input is untouched";
    EXPECT_FALSE(Contains(machine.ModuleLog(), "SendFile")) << c.name;
    // The job directory (when one was made) is gone again.
    EXPECT_FALSE(Exists(machine.Path("work/0"))) << c.name;
  }
}

TEST(SendClient, ConfigureModeCallsConfigureAndEndsWithZero) {
  for (const char* result : {"1", "0"}) {
    SendMachine machine;
    machine.settings["FixtureConfigureResult"] = result;
    RunResult run = machine.Run({});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(machine.ModuleLog(),
              (std::vector<std::string>{"Initialize mvncsend", "Configure mvncsend", "Terminate record", "detach"}));
    // The module wrote its settings through the host's configuration.
    EXPECT_NE(ReadFile(machine.Path("windows/mvncsend.INI")).find("FixtureConfigured=yes"), std::string::npos);
    EXPECT_TRUE(machine.Boxes().empty());  // CONFIGURE has severity 9
  }
}

// ---------------------------------------------------------------------------
// The module host

TEST(SendClient, ModuleLackingAnExportFailsAtStartUp) {
  for (const char* name : {"Initialize", "Terminate", "Configure", "SendFile", "GetLastResult"}) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    SendMachine machine;
    machine.settings["DeliveryModule"] = FixtureModule("dlvfixture_no" + lower);
    WriteFile(machine.Path("in.txt"), "data\r\n");
    RunResult run = machine.Run({machine.Path("in.txt")});
    EXPECT_EQ(run.exitCode, 1) << name;
    EXPECT_TRUE(Contains(machine.Boxes(),
                         std::string("CPATH::Initialize failed (GetProcAddress(") + name + "))"))
        << name << ": " << ReadFile(machine.Path("boxes.log"));
    // No export was called (the log is named only in Initialize).
    EXPECT_TRUE(machine.ModuleLog().empty()) << name;
  }
}

TEST(SendClient, InitializeReturningNoRecordEndsQuietlyWithOne) {
  SendMachine machine;
  machine.settings["FixtureInitNull"] = "1";
  WriteFile(machine.Path("in.txt"), "data\r\n");
  RunResult run = machine.Run({machine.Path("in.txt")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(machine.Boxes().empty());  // INITIALIZE has severity 9
  EXPECT_EQ(machine.ModuleLog()[0], "Initialize mvncsend");
  EXPECT_TRUE(Exists(machine.Path("in.txt")));

  // With its text made visible, the notification names the section.
  machine.extraIni = "[mvncsend-MESSAGES]\r\nNOTIFY_DELIVERY_INITIALIZE=NL,1,no record for %1\r\n";
  machine.Run({machine.Path("in.txt")});
  EXPECT_TRUE(Contains(machine.Boxes(), "mvncsend: no record for mvncsend"));
}

TEST(SendClient, TerminateReturningARecordIsReported) {
  SendMachine machine;
  machine.settings["FixtureTerminateResult"] = "4096";
  machine.extraIni = "[mvncsend-MESSAGES]\r\nNOTIFY_DELIVERY_TERMINATE=NL,1,terminate gave a record\r\n";
  WriteFile(machine.Path("in.txt"), "data\r\n");
  RunResult run = machine.Run({machine.Path("in.txt")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Contains(machine.Boxes(), "terminate gave a record"));
}

TEST(SendClient, FailedSendIsReportedKeptAndUnloadsTheModule) {
  SendMachine machine;
  machine.settings["FixtureFailSends"] = "*";
  machine.settings["FixtureLastResult"] = "550 mailbox unavailable";
  WriteFile(machine.Path("in.txt"), "the fax\r\n");
  RunResult run = machine.Run({machine.Path("in.txt")});
  EXPECT_EQ(run.exitCode, 1);
  // The job goes to WorkingPathX as the module received it; the input goes
  // back where it came from, and the one message says so.
  auto kept = ListDirectory(machine.Path("work/X"));
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(machine.Boxes(), std::vector<std::string>{"mvncsend: Error - unable to deliver your message / "
                                                      "<550 mailbox unavailable> / The job is kept as " +
                                                      machine.Path("work/X/" + kept[0]) + " / and its input as " +
                                                      machine.Path("in.txt")});
  auto outbox = machine.Outbox();
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_EQ(ReadFile(machine.Path("work/X/" + kept[0])), ReadFile(outbox[0]));
  EXPECT_EQ(ReadFile(machine.Path("in.txt")), "the fax\r\n");
  EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
  auto log = machine.ModuleLog();
  EXPECT_TRUE(Contains(log, "GetLastResult"));
  EXPECT_EQ(log.back(), "detach unloaded");  // unloaded before the job directory went
  // The module's own notification never reached the host.
  EXPECT_FALSE(Contains(machine.Boxes(), "FixtureModule"));
  EXPECT_FALSE(Contains(ReadLines(machine.Path("boxes.log")), "raised inside"));

  // After only successful sends the module stays loaded until the end.
  SendMachine good;
  WriteFile(good.Path("in.txt"), "the fax\r\n");
  EXPECT_EQ(good.Run({good.Path("in.txt")}).exitCode, 0);
  EXPECT_EQ(good.ModuleLog().back(), "detach at-exit");
}

TEST(SendClient, FileThatIsNoModuleLoadsNothingAndEverySendFails) {
  SendMachine machine;
  WriteFile(machine.Path("sender.exe"), "not loaded");
  machine.settings["DeliveryModule"] = machine.Path("sender.exe");
  RunResult configure = machine.Run({});
  EXPECT_EQ(configure.exitCode, 0);
  WriteFile(machine.Path("in.txt"), "the fax\r\n");
  RunResult send = machine.Run({machine.Path("in.txt")});
  EXPECT_EQ(send.exitCode, 1);
  EXPECT_TRUE(Contains(machine.Boxes(), "mvncsend: Error - unable to deliver your message / <>"));
  EXPECT_EQ(ListDirectory(machine.Path("work/X")).size(), 1u);
}

TEST(SendClient, NotInteractiveShowsNothing) {
  SendMachine machine;
  machine.settings["Interactive"] = "0";
  machine.settings["FixtureFailSends"] = "*";
  WriteFile(machine.Path("in.txt"), "the fax\r\n");
  EXPECT_EQ(machine.Run({machine.Path("in.txt")}).exitCode, 1);
  EXPECT_TRUE(machine.Boxes().empty());
}

TEST(SendClient, ModuleNamedWithDllExtensionLoadsTheSharedObject) {
  SendMachine machine;
  // Beside the INI file (the current directory of the run), named ".dll".
  std::filesystem::copy_file(FixtureModule("dlvfixture"), machine.Path("windows/dlvfixture.so"));
  machine.settings["DeliveryModule"] = "dlvfixture.dll";
  WriteFile(machine.Path("in.txt"), "the fax\r\n");
  RunResult run = machine.Run({machine.Path("in.txt")});
  EXPECT_EQ(run.exitCode, 0) << ReadFile(machine.Path("boxes.log"));
  EXPECT_EQ(machine.Outbox().size(), 1u);
}

// ---------------------------------------------------------------------------
// Directories

TEST(SendClient, JobDirectorySkipsLeftoversAndIsRemoved) {
  SendMachine machine;
  std::filesystem::create_directories(machine.Path("work/0"));
  std::filesystem::create_directories(machine.Path("work/1"));
  WriteFile(machine.Path("in.txt"), "the fax\r\n");
  ASSERT_EQ(machine.Run({machine.Path("in.txt")}).exitCode, 0);
  EXPECT_TRUE(Contains(machine.ModuleLog(), "SendFile 1 " + machine.Path("work/2/MVN")));
  EXPECT_EQ(ListDirectory(machine.Path("work")), (std::vector<std::string>{"0", "1", "I", "X"}));
}

TEST(SendClient, DirectoryModeSendsEveryMatchingFile) {
  SendMachine machine;
  std::filesystem::create_directories(machine.Path("queue/sub"));
  WriteFile(machine.Path("queue/a.txt"), "first\r\n");
  WriteFile(machine.Path("queue/b.txt"), "second\r\n");
  WriteFile(machine.Path("queue/c.dat"), "not matched\r\n");
  machine.settings["InputFileMask"] = "*.txt";
  RunResult run = machine.Run({machine.Path("queue")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(machine.Outbox().size(), 2u);
  EXPECT_EQ(ListDirectory(machine.Path("queue")), (std::vector<std::string>{"c.dat", "sub"}));

  // One failed and one successful send: exit code 1 (not every input was
  // sent), and the module is unloaded at the end.
  SendMachine mixed;
  std::filesystem::create_directories(mixed.Path("queue"));
  WriteFile(mixed.Path("queue/a.txt"), "first\r\n");
  WriteFile(mixed.Path("queue/b.txt"), "second\r\n");
  mixed.settings["FixtureFailSends"] = "1";
  EXPECT_EQ(mixed.Run({mixed.Path("queue")}).exitCode, 1);
  EXPECT_EQ(mixed.ModuleLog().back(), "detach unloaded");
  EXPECT_EQ(ListDirectory(mixed.Path("work/X")).size(), 1u);

  SendMachine failing;
  std::filesystem::create_directories(failing.Path("queue"));
  WriteFile(failing.Path("queue/a.txt"), "first\r\n");
  failing.settings["FixtureFailSends"] = "*";
  EXPECT_EQ(failing.Run({failing.Path("queue")}).exitCode, 1);
}

TEST(SendClient, KeptFilesAndAttachments) {
  // KeepFiles off, KeepFilesPath set: attachments are kept, the input is not.
  SendMachine machine;
  machine.settings["KeepFilesPath"] = machine.Path("keep");
  WriteFile(machine.Path("att.txt"), "attachment\r\n");
  WriteFile(machine.Path("Faxout.tmp"), RequestFile({"!ExtAttachment,att.txt,att.txt"}));
  ASSERT_EQ(machine.Run({machine.Path("Faxout.tmp")}).exitCode, 0);
  EXPECT_EQ(ListDirectory(machine.Path("keep")), std::vector<std::string>{"att.txt"});

  // KeepFiles on: the input is kept too; a second input of the same name
  // does not replace the first.
  machine.settings["KeepFiles"] = "1";
  for (int i = 0; i < 2; ++i) {
    WriteFile(machine.Path("in.txt"), "input " + std::to_string(i) + "\r\n");
    ASSERT_EQ(machine.Run({machine.Path("in.txt")}).exitCode, 0);
  }
  auto kept = ListDirectory(machine.Path("keep"));
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(ReadFile(machine.Path("keep/in.txt")), "input 0\r\n");

  // A KeepFilesPath that cannot be made: what is to be kept goes to
  // WorkingPathX instead of being deleted.
  SendMachine broken;
  WriteFile(broken.Path("afile"), "x");
  broken.settings["KeepFilesPath"] = broken.Path("afile/keep");
  broken.settings["KeepFiles"] = "1";
  WriteFile(broken.Path("att.txt"), "attachment\r\n");
  WriteFile(broken.Path("Faxout.tmp"), RequestFile({"!ExtAttachment,att.txt,att.txt"}));
  EXPECT_EQ(broken.Run({broken.Path("Faxout.tmp")}).exitCode, 0);
  EXPECT_TRUE(Contains(broken.Boxes(), "CPATH::CreateDirectory"));
  EXPECT_EQ(ListDirectory(broken.Path("work/X")), (std::vector<std::string>{"Faxout.tmp", "att.txt"}));
}

// ---------------------------------------------------------------------------
// Bad input

TEST(SendClient, AttachmentLinesThatCannotBeEmbeddedKeepTheJob) {
  struct CASE {
    const char* name;
    std::string line;
  };
  const std::vector<CASE> cases = {
      {"two items", "!ExtAttachment,only-a-name"},
      {"four items", "!ExtAttachment,name,att.txt,extra"},
      {"missing file", "!ExtAttachment,name,missing.txt"},
      {"directory", "!EXTERNAL,name,sub"},
  };
  for (const CASE& c : cases) {
    SendMachine machine;
    std::filesystem::create_directories(machine.Path("sub"));
    WriteFile(machine.Path("good.txt"), "embedded\r\n");
    WriteFile(machine.Path("att.txt"), "never embedded\r\n");
    WriteFile(machine.Path("Faxout.tmp"), RequestFile({"!ExtAttachment,good,good.txt", c.line}));
    RunResult run = machine.Run({machine.Path("Faxout.tmp")});
    EXPECT_EQ(run.exitCode, 1) << c.name;
    EXPECT_FALSE(Contains(machine.ModuleLog(), "SendFile")) << c.name;
    auto kept = ListDirectory(machine.Path("work/X"));
    ASSERT_EQ(kept.size(), 1u) << c.name;
    std::string job = ReadFile(machine.Path("work/X/" + kept[0]));
    // The line stays in the job unchanged; the good attachment is in it.
    EXPECT_NE(job.find("\r\n" + c.line + "\r\n"), std::string::npos) << c.name;
    EXPECT_NE(job.find("!ATTACHMENT,0,1,NAME:good\r\n " + Hex("embedded\r\n") + "\r\n!ATTACHMENT-END\r\n"),
              std::string::npos)
        << c.name;
    // Nothing was sent: the attachments and the request stay where they were.
    EXPECT_TRUE(Exists(machine.Path("att.txt"))) << c.name;
    EXPECT_TRUE(Exists(machine.Path("good.txt"))) << c.name;
    EXPECT_TRUE(Exists(machine.Path("Faxout.tmp"))) << c.name;
    EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty()) << c.name;
  }
}

TEST(SendClient, RelativeAttachmentsBesideTheInputThenInAttachPath) {
  SendMachine machine;
  std::filesystem::create_directories(machine.Path("attach"));
  machine.settings["AttachPath"] = machine.Path("attach");
  machine.settings["CompressFile"] = "0";
  machine.settings["EncodeFile"] = "0";
  WriteFile(machine.Path("beside.txt"), "beside the input\r\n");
  WriteFile(machine.Path("attach/beside.txt"), "in AttachPath, shadowed\r\n");
  WriteFile(machine.Path("attach/only.txt"), "only in AttachPath\r\n");
  WriteFile(machine.Path("Faxout.tmp"),
            RequestFile({"!ExtAttachment,Report,beside.txt", "!extattachment,\"Q, 3\",only.txt"}));
  ASSERT_EQ(machine.Run({machine.Path("Faxout.tmp")}).exitCode, 0);
  std::string job = ReadFile(machine.Outbox()[0]);
  EXPECT_NE(job.find("!ATTACHMENT,0,1,NAME:Report\r\n" + HexLines("beside the input\r\n") + "!ATTACHMENT-END\r\n"),
            std::string::npos);
  EXPECT_NE(job.find("!ATTACHMENT,0,1,NAME:Q, 3\r\n" + HexLines("only in AttachPath\r\n") + "!ATTACHMENT-END\r\n"),
            std::string::npos);
  EXPECT_TRUE(Exists(machine.Path("attach/beside.txt")));
  EXPECT_FALSE(Exists(machine.Path("attach/only.txt")));
}

TEST(SendClient, UnusualInputs) {
  SendMachine machine;
  machine.settings["CompressFile"] = "0";
  machine.settings["EncodeFile"] = "0";
  const std::string head = "!MVN::MVN\r\nSENDER-TIME=3ae8d086\r\n";

  // Empty input: header lines and the end only, and it is sent.
  WriteFile(machine.Path("empty.txt"), "");
  ASSERT_EQ(machine.Run({machine.Path("empty.txt")}).exitCode, 0);
  EXPECT_EQ(ReadFile(machine.Outbox().back()), head + "!MVN-END\r\n");

  // Binary input whose first line ends in a lone CR: every byte once.
  std::string binary = std::string("ab\rc\0\r\r\n\xff", 9) + std::string(20000, '\r');
  WriteFile(machine.Path("binary.bin"), binary);
  std::filesystem::remove_all(machine.Path("outbox"));
  std::filesystem::create_directories(machine.Path("outbox"));
  ASSERT_EQ(machine.Run({machine.Path("binary.bin")}).exitCode, 0);
  EXPECT_EQ(ReadFile(machine.Outbox().back()), head + "!MORVANE,0,1\r\n" + HexLines(binary) + "!MORVANE-END\r\n!MVN-END\r\n");

  // A request whose first line has items, and a line longer than 65,535
  // bytes, which is read in pieces of that length and copied whole.
  std::string longLine(70000, 'x');
  WriteFile(machine.Path("req.txt"), "!mvn, a ,b\r\n" + longLine + "\r\n!MVN-END\r\n");
  std::filesystem::remove_all(machine.Path("outbox"));
  std::filesystem::create_directories(machine.Path("outbox"));
  ASSERT_EQ(machine.Run({machine.Path("req.txt")}).exitCode, 0);
  EXPECT_EQ(ReadFile(machine.Outbox().back()), head + "!mvn\r\na \r\nb\r\n" + longLine + "\r\n!MVN-END\r\n!MVN-END\r\n");
}

// ---------------------------------------------------------------------------
// Write failures: nothing is sent that is not whole, nothing is lost

TEST(SendClient, JobThatCannotBeWrittenWholeKeepsItsInput) {
  // The job file (hexadecimal, twice the input) outgrows the file-size limit.
  SendMachine machine;
  machine.fileSizeLimit = 500000;
  const std::string input = std::string(300000, 'a') + std::string(100000, 'b');
  WriteFile(machine.Path("in.ps"), input);
  RunResult run = machine.Run({machine.Path("in.ps")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_FALSE(Contains(machine.ModuleLog(), "SendFile"));
  auto kept = ListDirectory(machine.Path("work/X"));
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadFile(machine.Path("in.ps")), input);  // back where it came from
  EXPECT_EQ(ListDirectory(machine.Path("work")), (std::vector<std::string>{"I", "X"}));

  // Compressed sections whose temporary file cannot be written: the
  // section fails instead of falling back to an input already read.
  SendMachine packed;
  packed.fileSizeLimit = 600000;
  packed.settings["CompressAttachments"] = "1";
  packed.settings["EncodeAttachments"] = "0";
  std::string random(590000, '\0');
  unsigned state = 1;
  for (char& c : random) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 16);
  WriteFile(packed.Path("in.bin"), random);
  EXPECT_EQ(packed.Run({packed.Path("in.bin")}).exitCode, 1);
  EXPECT_FALSE(Contains(packed.ModuleLog(), "SendFile"));
  EXPECT_EQ(ReadFile(packed.Path("in.bin")), random);
}

TEST(SendClient, WrapperThatCannotBeWrittenKeepsTheJob) {
  // The job fits, its hexadecimal wrapper (twice its size) does not.
  SendMachine machine;
  machine.fileSizeLimit = 500000;
  machine.settings["CompressFile"] = "0";
  machine.settings["EncodeFile"] = "1";
  machine.settings["EncodeAttachments"] = "0";
  const std::string input(300000, 'z');
  WriteFile(machine.Path("in.ps"), input);
  EXPECT_EQ(machine.Run({machine.Path("in.ps")}).exitCode, 1);
  EXPECT_FALSE(Contains(machine.ModuleLog(), "SendFile"));
  auto kept = ListDirectory(machine.Path("work/X"));
  ASSERT_EQ(kept.size(), 1u);
  // What is kept is the whole job, as built.
  DecodedJob job = DecodeJob(machine.Path("work/X/" + kept[0]), machine.Path("decoded"));
  ASSERT_EQ(job.exitCode, 0) << job.error;
  EXPECT_EQ(job.Payload(0, "MORVANE"), input);
  EXPECT_EQ(ListDirectory(machine.Path("work")), (std::vector<std::string>{"I", "X"}));
}

TEST(SendClient, FilesOtherProgramsHoldExclusivelyAreNotTaken) {
  SendMachine machine;
  // Share modes are kept below the machine root: hold the files as a
  // program on that machine would.
  const std::string previousRoot = std::getenv("MVN_ROOT") ? std::getenv("MVN_ROOT") : "";
  setenv("MVN_ROOT", machine.Root().c_str(), 1);
  WriteFile(machine.Path("busy.ps"), "still being printed\r\n");
  WriteFile(machine.Path("Faxout.tmp"), RequestFile({"!ExtAttachment,busy.ps,busy.ps"}));
  HANDLE busy = CreateFileA(machine.Path("busy.ps").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(busy, INVALID_HANDLE_VALUE);
  RunResult run = machine.Run({machine.Path("Faxout.tmp")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(ListDirectory(machine.Path("work/X")).size(), 1u);  // the job, with the line unchanged
  EXPECT_EQ(ReadFile(machine.Path("busy.ps")), "still being printed\r\n");

  // An input that cannot be opened is left where it is, and said so.
  WriteFile(machine.Path("in.txt"), "the fax\r\n");
  HANDLE input = CreateFileA(machine.Path("in.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(input, INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine.Run({machine.Path("in.txt")}).exitCode, 1);
  EXPECT_EQ(ReadFile(machine.Path("in.txt")), "the fax\r\n");
  EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
  EXPECT_TRUE(Contains(machine.Boxes(), "cannot open the input file " + machine.Path("in.txt") + ": "));
  CloseHandle(input);
  CloseHandle(busy);
  setenv("MVN_ROOT", previousRoot.c_str(), 1);
}
