// dlvlocal in the test's own process: settings, the delivery frame, the two
// kinds of target, failures, and Configure through scripted headless
// dialogs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "delivery/local/localmodule.h"
#include "lib/stringlist.h"
#include "platform/dialogs/script.h"
#include "tests/support/recordingconfig.h"
#include "tests/support/tempdir.h"

namespace dlg = mvn::dialogs;
namespace fs = std::filesystem;
using deliverytest::RecordingConfig;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

// Every regular entry of a directory (hidden ones too).
std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(directory, ignored)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class LocalModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("MVN_DIALOGS", "headless", 1);
    WriteFile(job, kJob);
  }
  void TearDown() override {
    mvn::delivery::local::Terminate(record);
    dlg::SetScript(nullptr);
  }

  // Writes the INI and initialises the record from it (with the variable
  // list for %NAME% references when one is given).
  LOCALRECORD* Load(const std::string& ini, CSTRINGLIST* variables = nullptr) {
    WriteFile(iniPath, "[MVNCSEND]\r\n" + ini);
    RecordingConfig config(iniPath.c_str(), "MVNCSEND");
    config.SetVariables(variables);
    mvn::delivery::local::Terminate(record);
    record = mvn::delivery::local::Initialize(&config);
    reads = config.reads;
    return record;
  }

  // A job file as the send client writes it, with bytes of every value.
  static inline const std::string kJob = [] {
    std::string job = "!MVN::MVN\r\nSENDER-TIME=0000002a\r\n!FILE,0,3\r\n";
    for (int i = 0; i < 256; ++i) job.push_back(static_cast<char>(i));
    job += "\r\n!FILE-END\r\n!MVN-END\r\n";
    return job;
  }();

  TempDir dir;
  std::string iniPath = dir / "mvncsend.ini";
  std::string job = dir / "job.tmp";
  LOCALRECORD* record = nullptr;
  std::vector<std::string> reads;
};

}  // namespace

TEST_F(LocalModuleTest, InitializeReadsTheKeysInOrderWithTheirDefaults) {
  Load("");
  EXPECT_EQ(reads, (std::vector<std::string>{"DialogTitle", "YourName", "YourEmailAddress", "IdentityToken",
                                             "KeepFiles", "OutputLocation", "SenderDefaults"}));
  EXPECT_STREQ(record->m_dialogTitle.Text(), "Configure Delivery Options");
  EXPECT_TRUE(record->m_yourName.IsEmpty());
  EXPECT_TRUE(record->m_yourEmail.IsEmpty());
  EXPECT_TRUE(record->m_identityToken.IsEmpty());
  EXPECT_FALSE(record->m_keepFiles);
  EXPECT_TRUE(record->m_outputLocation.IsEmpty());
  EXPECT_FALSE(record->m_senderDefaults);
  EXPECT_EQ(mvn::delivery::local::GetLastResult(record), nullptr);

  Load("DialogTitle=Fax set-up\r\nYourName=Ann\r\nYourEmailAddress=ann@example.com\r\nIdentityToken=OM9Z\r\n"
       "KeepFiles=true\r\nOutputLocation=/srv/fax\r\nSenderDefaults=yes\r\n");
  EXPECT_STREQ(record->m_dialogTitle.Text(), "Fax set-up");
  EXPECT_STREQ(record->m_yourName.Text(), "Ann");
  EXPECT_STREQ(record->m_identityToken.Text(), "OM9Z");
  EXPECT_TRUE(record->m_keepFiles);
  EXPECT_STREQ(record->m_outputLocation.Text(), "/srv/fax");
  EXPECT_TRUE(record->m_senderDefaults);
}

TEST_F(LocalModuleTest, TheFrameIsExactAndGetsAnMvnNameOnlyWhenComplete) {
  std::string out = dir / "out";
  struct Case {
    std::string ini;
    std::string header;
  } cases[] = {
      {"", "!MVN::MVN\r\nSENDER-DEFAULTS=no\r\nSENDER-TYPE=LOCAL\r\n"},
      {"YourName=Ann Lee\r\nYourEmailAddress=ann@example.com\r\nSenderDefaults=true\r\n",
       "!MVN::MVN\r\nSENDER-DEFAULTS=yes\r\nSENDER-TYPE=LOCAL\r\nSENDER-NAME=Ann Lee\r\n"
       "SENDER-ADDRESS=ann@example.com\r\n"},
      {"YourEmailAddress=100%s@example.com\r\n",
       "!MVN::MVN\r\nSENDER-DEFAULTS=no\r\nSENDER-TYPE=LOCAL\r\nSENDER-ADDRESS=100%s@example.com\r\n"},
  };
  for (const Case& c : cases) {
    fs::remove_all(out);
    Load("OutputLocation=" + out + "\r\n" + c.ini);
    ASSERT_TRUE(mvn::delivery::local::SendFile(record, job.c_str()));
    std::vector<std::string> names = Entries(out);
    ASSERT_EQ(names.size(), 1u) << "no partial file stays behind";
    EXPECT_EQ(names[0].rfind("MVN", 0), 0u) << names[0];
    EXPECT_EQ(names[0].substr(names[0].size() - 4), ".TMP") << names[0];
    EXPECT_EQ(ReadFile(out + "/" + names[0]), c.header + kJob + "!MVN-END\r\n");
    EXPECT_EQ(ReadFile(job), kJob) << "the job file stays where and as it was";
  }
}

TEST_F(LocalModuleTest, AMissingTreeIsCreatedAndEverySendGetsItsOwnFile) {
  std::string out = dir / "a/b/c";
  Load("OutputLocation=" + out + "\r\n");
  ASSERT_TRUE(mvn::delivery::local::SendFile(record, job.c_str()));
  ASSERT_TRUE(mvn::delivery::local::SendFile(record, job.c_str()));
  ASSERT_TRUE(mvn::delivery::local::SendFile(record, job.c_str()));
  std::vector<std::string> names = Entries(out);
  EXPECT_EQ(names.size(), 3u);
  for (const std::string& name : names) EXPECT_EQ(ReadFile(out + "/" + name).size(), ReadFile(out + "/" + names[0]).size());
}

TEST_F(LocalModuleTest, AnExistingFileBehindTwoSeparatorsIsOverwritten) {
  std::string target = dir / "inbox.frame";
  std::string native = "/" + target;  // "//..."
  std::string backslashed = "\\" + target;
  for (char& ch : backslashed) {
    if (ch == '/') ch = '\\';
  }
  for (const std::string& location : {native, backslashed}) {
    WriteFile(target, std::string(5000, 'x'));
    Load("OutputLocation=" + location + "\r\nYourName=Ann\r\n");
    ASSERT_TRUE(mvn::delivery::local::SendFile(record, job.c_str())) << location;
    std::string small = "!MVN::MVN\r\n!MVN-END\r\n";
    WriteFile(job, small);
    ASSERT_TRUE(mvn::delivery::local::SendFile(record, job.c_str()));
    EXPECT_EQ(ReadFile(target), "!MVN::MVN\r\nSENDER-DEFAULTS=no\r\nSENDER-TYPE=LOCAL\r\nSENDER-NAME=Ann\r\n" + small +
                                    "!MVN-END\r\n");
    EXPECT_EQ(Entries(dir.str()).size(), 3u) << "nothing else is written beside it";
    WriteFile(job, kJob);
  }
  // Without such a file the location is a directory.
  std::string missing = "/" + dir / "spool";
  Load("OutputLocation=" + missing + "\r\n");
  ASSERT_TRUE(mvn::delivery::local::SendFile(record, job.c_str()));
  EXPECT_EQ(Entries(dir / "spool").size(), 1u);
}

TEST_F(LocalModuleTest, FailedSendsReportFalseAndLeaveNothing) {
  // Each failure says what could not be done, where, and the system's
  // reason.
  auto reason = [&] {
    const char* text = mvn::delivery::local::GetLastResult(record);
    return std::string(text ? text : "(none)");
  };
  // An empty location.
  Load("");
  EXPECT_FALSE(mvn::delivery::local::SendFile(record, job.c_str()));
  EXPECT_EQ(reason(), "OutputLocation is not set: no folder to deliver into");

  // A location below a plain file cannot be a directory.
  WriteFile(dir / "plain", "x");
  Load("OutputLocation=" + dir / "plain/sub" + "\r\n");
  EXPECT_FALSE(mvn::delivery::local::SendFile(record, job.c_str()));
  EXPECT_EQ(reason(), "cannot create the output folder " + dir / "plain/sub" +
                          ": The system cannot find the path specified.");

  // A job file that cannot be read: no frame, not even a partial one.
  std::string out = dir / "out";
  Load("OutputLocation=" + out + "\r\n");
  EXPECT_FALSE(mvn::delivery::local::SendFile(record, (dir / "missing.job").c_str()));
  EXPECT_EQ(reason(), "cannot write the frame into the output folder " + out +
                          ": The system cannot find the file specified.");
  fs::create_directory(dir / "dir.job");
  EXPECT_FALSE(mvn::delivery::local::SendFile(record, (dir / "dir.job").c_str()));
  EXPECT_EQ(reason().rfind("cannot write the frame into the output folder " + out + ": ", 0), 0u) << reason();
  EXPECT_TRUE(Entries(out).empty());

  // The existing file keeps no half frame.
  std::string target = dir / "inbox.frame";
  WriteFile(target, "old frame");
  Load("OutputLocation=/" + target + "\r\n");
  EXPECT_FALSE(mvn::delivery::local::SendFile(record, (dir / "missing.job").c_str()));
  EXPECT_EQ(ReadFile(target), "");
}

TEST_F(LocalModuleTest, AFifoIsNeverOpenedAsTheExistingFile) {
  std::string fifo = dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Load("OutputLocation=/" + fifo + "\r\n");
  auto send = std::async(std::launch::async, [&] { return mvn::delivery::local::SendFile(record, job.c_str()); });
  if (send.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Unblock the open so the test can end, then fail.
    std::ofstream unblock(fifo);
    ADD_FAILURE() << "the send blocked on the FIFO";
  }
  EXPECT_FALSE(send.get()) << "a FIFO is neither a file to overwrite nor a directory";
}

TEST_F(LocalModuleTest, APlantedLinkIsNeverFollowed) {
  // The existing-file target is a symbolic link to another file (or to a
  // FIFO, or a dangling one): the send fails and nothing behind it changes.
  std::string victim = dir / "victim";
  WriteFile(victim, "precious");
  std::string fifo = dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& pointee : {victim, fifo, dir / "nowhere"}) {
    SCOPED_TRACE(pointee);
    std::string link = dir / "inbox.frame";
    fs::remove(link);
    fs::create_symlink(pointee, link);
    Load("OutputLocation=/" + link + "\r\nYourName=Ann\r\n");
    EXPECT_FALSE(mvn::delivery::local::IsExistingFileTarget(("/" + link).c_str()));
    auto send = std::async(std::launch::async, [&] { return mvn::delivery::local::SendFile(record, job.c_str()); });
    if (send.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      std::ofstream unblock(fifo);
      ADD_FAILURE() << "the send blocked";
    }
    EXPECT_FALSE(send.get());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
  }
  // A device is no file to overwrite either.
  Load("OutputLocation=//dev/null\r\n");
  EXPECT_FALSE(mvn::delivery::local::SendFile(record, job.c_str()));
  // A link to a directory is a directory location, as without the marker.
  std::string link = dir / "inbox.frame";
  fs::remove(link);
  fs::create_directory(dir / "intake");
  fs::create_symlink(dir / "intake", link);
  Load("OutputLocation=/" + link + "\r\n");
  EXPECT_TRUE(mvn::delivery::local::SendFile(record, job.c_str()));
  EXPECT_EQ(Entries(dir / "intake").size(), 1u);
}

TEST_F(LocalModuleTest, LineBreaksInTheIdentityNeverReachTheFrame) {
  std::string out = dir / "out";
  const std::pair<const char*, std::string> breaks[] = {
      {"CR", "\r"}, {"LF", "\n"}, {"CR LF", "\r\n"}, {"NUL", std::string(1, '\0')}};
  const std::pair<const char*, const char*> keys[] = {
      {"YourName", "Ann"}, {"YourEmailAddress", "ann@example.com"}, {"IdentityToken", "OM9Z"}};
  const std::string forged = "SENDER-TYPE=GATEWAY\r\n!MVN-END";
  const std::string header =
      "!MVN::MVN\r\nSENDER-DEFAULTS=no\r\nSENDER-TYPE=LOCAL\r\nSENDER-NAME=Ann\r\nSENDER-ADDRESS=ann@example.com\r\n";
  for (const auto& [key, clean] : keys) {
    for (const auto& [breakName, lineBreak] : breaks) {
      for (bool viaVariable : {true, false}) {
        SCOPED_TRACE(std::string(key) + " with " + breakName + (viaVariable ? " through %VAR%" : " in the INI"));
        std::string value = std::string(clean) + lineBreak + forged;
        std::string ini = "OutputLocation=" + out + "\r\n";
        for (const auto& [other, otherClean] : keys)
          ini += std::string(other) + "=" + (other != key ? std::string(otherClean) : viaVariable ? "%EVIL%" : value) +
                 "\r\n";
        CSTRINGLIST variables;
        variables.Add(("EVIL=" + value).c_str());
        fs::remove_all(out);
        Load(ini, viaVariable ? &variables : nullptr);
        bool sent = mvn::delivery::local::SendFile(record, job.c_str());
        const char* result = mvn::delivery::local::GetLastResult(record);
        // An expanded variable keeps CR and LF; an INI line may end at them
        // (and a NUL ends any text), leaving the clean value.
        if (viaVariable && breakName != std::string("NUL")) {
          EXPECT_FALSE(sent);
        }
        if (!sent) {
          ASSERT_NE(result, nullptr);
          EXPECT_EQ(std::string(result), std::string(key) + " holds a line break");
          EXPECT_TRUE(Entries(out).empty()) << "nothing is written";
        } else {
          EXPECT_EQ(result, nullptr);
          std::vector<std::string> names = Entries(out);
          ASSERT_EQ(names.size(), 1u);
          EXPECT_EQ(ReadFile(out + "/" + names[0]), header + kJob + "!MVN-END\r\n");
        }
      }
    }
  }
}

TEST(LocalModuleBasics, TerminateFreesAndReturnsZero) {
  EXPECT_EQ(mvn::delivery::local::Terminate(nullptr), 0);
  LOCALRECORD* record = mvn::delivery::local::Initialize(nullptr);
  ASSERT_NE(record, nullptr);
  EXPECT_STREQ(record->m_dialogTitle.Text(), "Configure Delivery Options");
  EXPECT_FALSE(mvn::delivery::local::SendFile(record, "/nonexistent"));
  EXPECT_EQ(mvn::delivery::local::Terminate(record), 0);
}

// ---------------------------------------------------------------------------
// Configure

namespace {

class ConfigureTest : public LocalModuleTest {
 protected:
  void SetUp() override {
    LocalModuleTest::SetUp();
    mvn::delivery::Identity()->m_applied = false;
    mvn::delivery::local::OptionsPage()->m_applied = false;
    Load("YourName=Ann\r\nYourEmailAddress=ann@example.com\r\nIdentityToken=OM9Z\r\nOutputLocation=" + dir / "out" +
         "\r\nSenderDefaults=true\r\nDialogTitle=Fax\r\n");
  }

  bool Configure(dlg::Script script) {
    RecordingConfig config(iniPath.c_str(), "MVNCSEND");
    dlg::SetScript(std::move(script));
    bool result = mvn::delivery::local::Configure(record, &config);
    dlg::SetScript(nullptr);
    writes = config.writes;
    return result;
  }

  std::vector<std::string> writes;
};

}  // namespace

TEST_F(ConfigureTest, CancelWritesNothing) {
  bool result = Configure([](HWND sheet) {
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_YOUR_NAME), "Bob"));
    EXPECT_TRUE(dlg::PressButton(sheet, IDCANCEL));
  });
  EXPECT_FALSE(result);
  EXPECT_TRUE(writes.empty());
  // Without a script and without a display the sheet is cancelled at once.
  EXPECT_FALSE(Configure(nullptr));
  EXPECT_TRUE(writes.empty());
}

TEST_F(ConfigureTest, OkWritesEveryKeyInOrder) {
  std::string newOut = dir / "new/out";
  bool result = Configure([&](HWND sheet) {
    char caption[64] = "";
    GetWindowTextA(sheet, caption, sizeof caption);
    EXPECT_STREQ(caption, "Fax");
    EXPECT_TRUE(dlg::SelectPage(sheet, 1));
    HWND page = dlg::PageWindow(sheet, 1);
    char location[512] = "";
    GetDlgItemTextA(page, IDC_OUTPUT_LOCATION, location, sizeof location);
    EXPECT_EQ(std::string(location), dir / "out");
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_OUTPUT_LOCATION), newOut));
    EXPECT_TRUE(dlg::PressButton(sheet, IDOK));
  });
  EXPECT_TRUE(result);
  EXPECT_EQ(writes, (std::vector<std::string>{"YourName=Ann", "YourEmailAddress=ann@example.com",
                                              "IdentityToken=OM9Z", "KeepFiles=false", "OutputLocation=" + newOut}));
  EXPECT_TRUE(fs::is_directory(newOut)) << "validation created the directory";
  EXPECT_STREQ(record->m_outputLocation.Text(), (dir / "out").c_str()) << "the record is not updated";
  std::string ini = ReadFile(iniPath);
  EXPECT_NE(ini.find("OutputLocation=" + newOut), std::string::npos) << ini;
  EXPECT_NE(ini.find("DialogTitle=Fax"), std::string::npos);
}

TEST_F(ConfigureTest, ApplyThenCancelWrites) {
  bool result = Configure([&](HWND sheet) {
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(sheet, IDC_IDENTITY_TOKEN), "ab"));
    EXPECT_TRUE(dlg::Click(dlg::FindControl(sheet, IDC_KEEP_FILES)));
    EXPECT_TRUE(dlg::PressButton(sheet, ID_APPLY_NOW));
    EXPECT_TRUE(dlg::PressButton(sheet, IDCANCEL));
  });
  EXPECT_TRUE(result);
  EXPECT_EQ(writes, (std::vector<std::string>{"YourName=Ann", "YourEmailAddress=ann@example.com",
                                              "IdentityToken=OM8.", "KeepFiles=true", "OutputLocation=" + dir / "out"}));
}

TEST_F(ConfigureTest, ARefusedLocationKeepsThePage) {
  WriteFile(dir / "plain", "x");
  std::string bad = dir / "plain/sub";
  std::string good = dir / "made/at/once";
  bool result = Configure([&](HWND sheet) {
    EXPECT_TRUE(dlg::SelectPage(sheet, 1));
    HWND field = dlg::FindControl(sheet, IDC_OUTPUT_LOCATION);
    EXPECT_TRUE(dlg::TypeText(field, bad));
    EXPECT_FALSE(dlg::SelectPage(sheet, 0));
    EXPECT_EQ(dlg::CurrentPage(sheet), 1);
    EXPECT_EQ(GetFocus(), field);
    EXPECT_TRUE(dlg::PressButton(sheet, IDOK));
    EXPECT_TRUE(IsWindow(sheet)) << "OK does not close the sheet on a refusal";
    EXPECT_TRUE(dlg::TypeText(field, good));
    EXPECT_TRUE(dlg::SelectPage(sheet, 0));
    EXPECT_TRUE(fs::is_directory(good)) << "leaving the page creates the directory";
    EXPECT_TRUE(dlg::PressButton(sheet, IDCANCEL));
  });
  EXPECT_FALSE(result);
  EXPECT_TRUE(writes.empty());
  EXPECT_TRUE(fs::is_directory(good)) << "even when the sheet is then cancelled";
}
