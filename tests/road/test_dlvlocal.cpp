// End to end: the real send client with dlvlocal turns a request file with
// two attachments into a delivery frame in the intake directory; the job
// inside the frame is decoded by the independent job-file decoder and every
// payload matches what was attached.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

struct Outcome {
  int exitCode;
  std::string output;
};

std::string Quote(const std::string& text) { return "'" + text + "'"; }

Outcome Shell(const std::string& command) {
  Outcome run{-1, ""};
  run.exitCode = mvntest::RunShell(command + " 2>&1", &run.output);
  return run;
}

std::vector<fs::path> Files(const fs::path& directory) {
  std::vector<fs::path> files;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(directory, ignored)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "client");
    // A binary attachment over several 8192-byte blocks and a text one.
    for (int i = 0; i < 20000; ++i) pdf.push_back(static_cast<char>((i * 131 + i / 7) & 0xFF));
    notes = "Please call back.\r\nTwo lines.\r\n";
    WriteRequest();
  }

  // The request and its attachments (a send consumes them).
  void WriteRequest() {
    WriteFile(dir / "client/report.pdf", pdf);
    WriteFile(dir / "client/notes.txt", notes);
    WriteFile(request, "!MVN - DASHPOST V5.0 (Tolvar)\r\n\r\n!PASSTHROUGH\r\nFrom:Ann Lee\r\n\r\n!TARGET\r\n"
                       "Destination:+44 20 7946 0000\r\nTo:Bob\r\n\r\n!PASSTHROUGH-END\r\n\r\n"
                       "!ExtAttachment,report.pdf," + dir / "client/report.pdf" + "\r\n"
                       "!ExtAttachment,notes.txt," + dir / "client/notes.txt" + "\r\n\r\n!MVN-END\r\n");
  }

  void WriteIni(const std::string& outputLocation,
                const std::string& module = fs::path(MVN_DLVLOCAL_PATH).replace_extension(".dll").string()) {
    WriteFile(ini, "[MVNCSEND]\r\nDeliveryModule=" + module +
                       "\r\nWorkingPath=" + dir / "work" + "\r\nOutputLocation=" + outputLocation +
                       "\r\nYourName=Ann Lee\r\nYourEmailAddress=ann@example.com\r\nIdentityToken=OM9Z\r\n"
                       "SenderDefaults=yes\r\n");
  }

  std::string SendCommand() {
    return "cd " + Quote(dir.str()) + " && MVN_ROOT=" + Quote(dir / "root") + " MVN_DIALOGS=headless " +
           Quote(MVN_SENDCLIENT_PATH) + " CONFIG=" + Quote(ini) + " " + Quote(request);
  }
  Outcome Send() { return Shell(SendCommand()); }

  TempDir dir;
  std::string ini = dir / "mvncsend.ini";
  std::string request = dir / "client/Faxout.tmp";
  std::string pdf, notes;
};

}  // namespace

TEST_F(EndToEnd, ARequestWithTwoAttachmentsArrivesAsOneFrame) {
  fs::path intake = dir / "server/intake";
  WriteIni(intake.string());
  Outcome run = Send();
  ASSERT_EQ(run.exitCode, 0) << run.output;

  std::vector<fs::path> frames = Files(intake);
  ASSERT_EQ(frames.size(), 1u) << "one frame and nothing half-written beside it";
  EXPECT_EQ(frames[0].filename().string().rfind("MVN", 0), 0u);
  EXPECT_EQ(frames[0].extension(), ".TMP");
  std::string frame = ReadFile(frames[0].string());
  const std::string header =
      "!MVN::MVN\r\nSENDER-DEFAULTS=yes\r\nSENDER-TYPE=LOCAL\r\nSENDER-NAME=Ann Lee\r\nSENDER-ADDRESS=ann@example.com\r\n";
  const std::string trailer = "!MVN-END\r\n";
  ASSERT_EQ(frame.compare(0, header.size(), header), 0) << frame.substr(0, 200);
  ASSERT_GE(frame.size(), header.size() + trailer.size());
  ASSERT_EQ(frame.compare(frame.size() - trailer.size(), trailer.size(), trailer), 0);
  std::string job = frame.substr(header.size(), frame.size() - header.size() - trailer.size());
  WriteFile(dir / "job.bin", job);

  Outcome decoded = Shell("/usr/bin/python3 " + Quote(MVN_JOBDECODE) + " " + Quote(dir / "job.bin") + " " +
                      Quote(dir / "decoded"));
  ASSERT_EQ(decoded.exitCode, 0) << decoded.output;
  EXPECT_NE(decoded.output.find("\"section_names\": [\n    \"ATTACHMENT\",\n    \"ATTACHMENT\"\n  ]"),
            std::string::npos)
      << decoded.output;
  EXPECT_NE(decoded.output.find("OM9Z"), std::string::npos) << "the identity token travels in the job";
  EXPECT_NE(decoded.output.find("\"display_name\": \"report.pdf\""), std::string::npos);
  EXPECT_NE(decoded.output.find("\"line\": \"To:Bob\""), std::string::npos) << "the request's lines are in the job";
  EXPECT_EQ(ReadFile(dir / "decoded/00-ATTACHMENT.bin"), pdf);
  EXPECT_EQ(ReadFile(dir / "decoded/01-ATTACHMENT.bin"), notes);
}

TEST_F(EndToEnd, AFailedDeliveryLeavesNothingInTheIntake) {
  // The intake lies below a plain file, so it can never be made.
  WriteFile(dir / "server", "not a directory");
  WriteIni(dir / "server/intake");
  Outcome run = Send();
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("Error - unable to deliver your message"), std::string::npos) << run.output;
  // The reason names the folder and the system's error.
  EXPECT_NE(run.output.find("<cannot create the output folder " + dir / "server/intake" +
                            ": The system cannot find the path specified.>"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(ReadFile(dir / "server"), "not a directory");
}

// A configuration written where file names ignore case names the module
// in any case; it is found as files of the machine root are.
TEST_F(EndToEnd, TheModuleIsFoundWhateverTheCaseOfItsName) {
  const fs::path folder = fs::path(MVN_DLVLOCAL_PATH).parent_path();
  const std::vector<std::string> names = {(folder / "DLVLOCAL.DLL").string(), (folder / "Dlvlocal.So").string(),
                                          "DLVLOCAL.DLL", "Dlvlocal.Dll"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    fs::path intake = dir / "server/intake";
    fs::remove_all(intake);
    WriteRequest();
    WriteIni(intake.string(), name);
    Outcome run = Send();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(Files(intake).size(), 1u) << run.output;
  }
}

// A location without a folder part is no folder that can be made; the
// message says what it needs, and the same name with "./" works.
TEST_F(EndToEnd, AnOutputLocationWithoutAFolderPartSaysWhatItNeeds) {
  WriteIni("rel");
  Outcome run = Send();
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("<cannot create the output folder rel: the location needs a folder part, such as "
                            "./rel>"),
            std::string::npos)
      << run.output;
  EXPECT_FALSE(fs::exists(dir / "rel"));
  EXPECT_TRUE(fs::exists(request)) << "the request is kept";

  WriteRequest();
  WriteIni("./rel");
  run = Send();
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(Files(dir / "rel").size(), 1u);
}

TEST_F(EndToEnd, ALineBreakFromTheEnvironmentWritesNoFrame) {
  // YourName=%ME% with ME ending the name line and forging two more.
  fs::path intake = dir / "server/intake";
  WriteIni(intake.string());
  std::string text = ReadFile(ini);
  text.replace(text.find("YourName=Ann Lee"), 16, "YourName=%ME%");
  WriteFile(ini, text);
  Outcome run = Shell("ME=$(printf 'Ann\\r\\nSENDER-TYPE=GATEWAY\\r\\n!MVN-END') && export ME && " + SendCommand());
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("YourName holds a line break"), std::string::npos) << run.output;
  EXPECT_TRUE(Files(intake).empty());
}

TEST_F(EndToEnd, TheRestOfALongLineIsTextNeverAMarker) {
  // A line of exactly the reader's piece length, going on with what looks
  // like an attachment line: the file it names must stay where it is and
  // nothing of it may reach the frame; the line arrives whole.
  fs::path intake = dir / "server/intake";
  WriteIni(intake.string());
  const std::string secret = "the private key of someone else\r\n";
  WriteFile(dir / "secret.txt", secret);
  const std::string longLine = "Note:" + std::string(65535 - 5, 'x') + "!ExtAttachment,x," + dir / "secret.txt";
  // The same at two piece lengths, and a real marker line after a line of
  // exactly the piece length.
  const std::string twoPieces = std::string(2 * 65535, 'y') + "!EXTERNAL,y," + dir / "secret.txt";
  WriteFile(request, "!MVN - DASHPOST V5.0 (Tolvar)\r\n" + longLine + "\r\n" + twoPieces + "\r\n" +
                         std::string(65535, 'z') + "\r\n!ExtAttachment,notes.txt," + dir / "client/notes.txt" +
                         "\r\n!MVN-END\r\n");
  Outcome run = Send();
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(ReadFile(dir / "secret.txt"), secret) << "the named file was neither embedded nor deleted";

  std::vector<fs::path> frames = Files(intake);
  ASSERT_EQ(frames.size(), 1u);
  std::string frame = ReadFile(frames[0].string());
  const std::string start = "SENDER-ADDRESS=ann@example.com\r\n";
  std::size_t at = frame.find(start);
  ASSERT_NE(at, std::string::npos);
  at += start.size();
  WriteFile(dir / "job.bin", frame.substr(at, frame.size() - at - std::string("!MVN-END\r\n").size()));
  Outcome decoded = Shell("/usr/bin/python3 " + Quote(MVN_JOBDECODE) + " " + Quote(dir / "job.bin") + " " +
                          Quote(dir / "decoded"));
  ASSERT_EQ(decoded.exitCode, 0) << decoded.output.substr(0, 400);
  // One attachment (the real marker line), and each long line whole.
  EXPECT_NE(decoded.output.find("\"section_names\": [\n    \"ATTACHMENT\"\n  ]"), std::string::npos)
      << decoded.output.substr(0, 400);
  EXPECT_EQ(ReadFile(dir / "decoded/00-ATTACHMENT.bin"), notes);
  EXPECT_NE(decoded.output.find("\"line\": \"" + longLine + "\""), std::string::npos);
  EXPECT_NE(decoded.output.find("\"line\": \"" + twoPieces + "\""), std::string::npos);
  EXPECT_NE(decoded.output.find("\"line\": \"" + std::string(65535, 'z') + "\""), std::string::npos);
  EXPECT_EQ(decoded.output.find(secret.substr(0, 20)), std::string::npos);
}

// On a display the failure is a message box of mvncsend's own (nothing on
// the headless log), holding the run until it is closed; it says why, with
// the module's reason. Driven on an X server of the test's own.
TEST_F(EndToEnd, OnADisplayTheFailureIsAMessageBox) {
  for (const char* program : {"/usr/bin/Xvfb", "/usr/bin/xdotool", "/usr/bin/import"})
    if (!fs::exists(program)) GTEST_SKIP() << program << " is not installed";
  // A display number nobody uses.
  int number = 0;
  for (int n = 100 + getpid() % 400; n < 1000 && !number; ++n)
    if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) && !fs::exists("/tmp/.X" + std::to_string(n) + "-lock"))
      number = n;
  ASSERT_NE(number, 0);
  const std::string display = ":" + std::to_string(number);
  mvntest::ChildProcess::Options xOptions;
  xOptions.output = dir / "xvfb.log";
  mvntest::ChildProcess xvfb({"/usr/bin/Xvfb", display, "-screen", "0", "800x600x24", "-nolisten", "tcp"}, xOptions);
  ASSERT_TRUE(mvntest::WaitFor([&] { return fs::exists("/tmp/.X11-unix/X" + std::to_string(number)); },
                               std::chrono::seconds(20)))
      << ReadFile(dir / "xvfb.log");

  WriteFile(dir / "server", "not a directory");
  WriteIni(dir / "server/intake");
  mvntest::ChildProcess::Options options;
  options.env = {{"DISPLAY", display},
                 {"MVN_ROOT", dir / "root"},
                 {"MVN_MESSAGEBOX_LOG", dir / "boxes.log"},
                 {"QT_QPA_PLATFORM", mvntest::kUnset},
                 {"MVN_DIALOGS", mvntest::kUnset}};
  options.directory = dir.str();
  options.output = dir / "mvncsend.log";
  mvntest::ChildProcess send({MVN_SENDCLIENT_PATH, "CONFIG=" + ini, request}, options);
  ASSERT_TRUE(send.Started());

  const std::string env = "DISPLAY=" + display + " ";
  std::string window;
  ASSERT_TRUE(mvntest::WaitFor(
      [&] {
        Outcome found = Shell(env + "xdotool search --onlyvisible --name '^mvncsend$'");
        window = found.exitCode == 0 ? found.output.substr(0, found.output.find('\n')) : "";
        return !window.empty();
      },
      std::chrono::seconds(60)))
      << ReadFile(dir / "mvncsend.log");
  // The box holds the run: the program waits for the person.
  EXPECT_TRUE(send.Running());
  const char* binary = std::getenv("MVN_TEST_BINARY_DIR");
  fs::path shots = fs::path(binary && *binary ? binary : dir.str()) / "test-output" / "mvncsend";
  fs::create_directories(shots);
  Outcome shot = Shell(env + "import -window root " + Quote((shots / "failure-message-box.png").string()));
  EXPECT_EQ(shot.exitCode, 0) << shot.output;

  // Enter presses its OK button; the run then ends as a failed send.
  Outcome key = Shell(env + "xdotool windowfocus --sync " + window + " key --clearmodifiers Return");
  EXPECT_EQ(key.exitCode, 0) << key.output;
  EXPECT_EQ(send.Wait(std::chrono::seconds(30)), 1) << ReadFile(dir / "mvncsend.log");
  EXPECT_EQ(ReadFile(dir / "boxes.log"), "") << "a box on the display is not written to the headless log";
  EXPECT_EQ(ReadFile(dir / "mvncsend.log").find("Error - unable to deliver"), std::string::npos)
      << ReadFile(dir / "mvncsend.log");
}

// A parent driven offscreen (or headless) passes QT_QPA_PLATFORM=offscreen
// down: that draws nowhere, so the failure is the headless line and the run
// ends at once instead of waiting on a box nobody can see.
TEST_F(EndToEnd, AnOffscreenPlatformIsNoDisplay) {
  WriteFile(dir / "server", "not a directory");
  WriteIni(dir / "server/intake");
  mvntest::ChildProcess::Options options;
  options.env = {{"DISPLAY", mvntest::kUnset},
                 {"MVN_ROOT", dir / "root"},
                 {"MVN_MESSAGEBOX_LOG", dir / "boxes.log"},
                 {"QT_QPA_PLATFORM", "offscreen"},
                 {"MVN_DIALOGS", mvntest::kUnset}};
  options.directory = dir.str();
  options.output = dir / "mvncsend.log";
  mvntest::ChildProcess send({MVN_SENDCLIENT_PATH, "CONFIG=" + ini, request}, options);
  ASSERT_TRUE(send.Started());
  EXPECT_EQ(send.Wait(std::chrono::seconds(60)), 1) << ReadFile(dir / "mvncsend.log");
  EXPECT_NE(ReadFile(dir / "mvncsend.log").find("Error - unable to deliver"), std::string::npos)
      << ReadFile(dir / "mvncsend.log");
}
