// The confirmation, send-log and resubmit windows offscreen, driven as a
// user drives them; a screenshot of each.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QMouseEvent>
#include <filesystem>

#include "client/sendlog/procedures.h"
#include "client/setup/setup.h"
#include "client/ui/windowhooks.h"
#include "framework/core/services.h"
#include "platform/kernel/win32.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"
#include "tests/support/windowtest.h"

using namespace mvn::client;
namespace fw = mvn::framework;
using mvntest::ReadFile;
using mvntest::WriteFile;
using windowtest::Click;
using windowtest::Screenshot;
using windowtest::Type;
using windowtest::When;

namespace {

class Quiet : public Prompter {
 public:
  void Tell(const std::string& t) override { told.push_back(t); }
  bool AskContinue(const std::string&) override { return true; }
  bool AskWaitAgain(const std::string&) override { return false; }
  std::vector<std::string> told;
};

void AddQueue(fw::Queue& q, const std::vector<std::pair<std::string, std::string>>& fields) {
  q.Buffer().Clear();
  for (const auto& [name, value] : fields) q.Buffer().Set(name, value);
  q.Add();
}

struct WindowTest : ::testing::Test {
  void SetUp() override {
    ini.SetFileName(dir / "client.ini");
    fw::Window::SetSettingsFile(&ini);
  }
  void TearDown() override { fw::Window::SetSettingsFile(nullptr); }
  mvntest::TempDir dir;
  fw::IniFile ini;
  fw::ScriptedServices services;
  fw::ScopedServices scoped{&services};
};

}  // namespace

TEST_F(WindowTest, ConfirmationWithTheSendToList) {
  WriteFile(dir / "client.ini", "[Default]\nShow_Send_to_List_BUTTONName=Recipients\n");
  Dictionary d;
  auto& q = d.Queues();
  AddQueue(q.g_QsendTo, {{"Mark", "1"}, {"ToName", "Bob"}, {"Company", "B Ltd"}, {"Destination", "555"}});
  AddQueue(q.g_QsendTo, {{"Mark", "1"}, {"ToName", "Ann"}, {"Company", "A Ltd"}, {"Destination", "556"}});
  AddQueue(q.g_Qgroups, {{"GroupID", "Sales"}, {"Mark", "1"}});
  SendJob job;
  job.priority = Priority::High;
  SingleRecipient who;
  bool sendWasDisabled = false;
  When("ConfirmBeforeSend", [&](QWidget* w) {
    auto* show = w->findChild<QAbstractButton*>("?Show");
    EXPECT_EQ(show->text(), "Recipients");
    Screenshot(w, "client-sendlog", "ConfirmBeforeSend.png");
    When("SendToList", [&](QWidget* list) {
      Screenshot(list, "client-sendlog", "SendToList.png");
      Click(list, "?SendToOption:Radio2");  // everyone is highlighted: nobody left
      auto* total = list->findChild<QLineEdit*>("?Total");
      EXPECT_EQ(total->text(), "0");
      Click(list, "?Close");
      // Back in the confirmation, once the list has closed: Send is disabled.
      mvntest::WhenWidget(
          "the confirmation's Send disabled after the list closed",
          [w]() -> QWidget* {
            auto* send = w->findChild<QAbstractButton*>("?Send");
            return !mvntest::VisibleTopLevel("SendToList") && send && !send->isEnabled() ? w : nullptr;
          },
          [&sendWasDisabled](QWidget* confirm) {
            sendWasDisabled = true;
            confirm->close();  // the title bar: the send is cancelled
            return true;
          });
    });
    show->click();
  });
  EXPECT_FALSE(ConfirmBeforeSend(nullptr, d, ini, who, job));
  EXPECT_TRUE(sendWasDisabled);
  EXPECT_EQ(job.sendToOption, 2);
  EXPECT_FALSE(ini.Fetch("ConfirmBeforeSend", "Width").empty());
  // Escape cancels.
  bool escapeClosed = false;
  When("ConfirmBeforeSend", [&escapeClosed](QWidget* w) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QApplication::sendEvent(w, &release);
    escapeClosed = !w->isVisible();  // closed at once
    if (!escapeClosed) w->close();
  });
  job.sendToOption = 1;
  EXPECT_FALSE(ConfirmBeforeSend(nullptr, d, ini, who, job));
  EXPECT_TRUE(escapeClosed);
  // S&end confirms.
  job.sendToOption = 1;
  When("ConfirmBeforeSend", [](QWidget* w) { Click(w, "?Send"); });
  EXPECT_TRUE(ConfirmBeforeSend(nullptr, d, ini, who, job));
}

TEST_F(WindowTest, ViewSendLogReSendsTheSelectedEntry) {
  std::string log = dir / "SendLog.csv";
  WriteFile(dir / "keep.ps", "%!PS\n");
  WriteFile(log, "\"2026/12/01 10:00:00\",\"Zed\",\"Z Co\",\"111\",\"R1\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n"
                 "\"2026/12/02 10:00:00\",\"Ann Lee\",\"A Co\",\"222\",\"R2\",\"CC\",\"\",\"" + dir / "keep.ps" +
                 "\",\"Sales\",\"\",\"\"\"/a.doc\"\"\"\r\n");
  WriteFile(dir / "client.ini", "[Files]\nSendLog=" + log + "\n");
  Dictionary d;
  SendJob job;
  job.resend = true;
  ResendFields fields;
  When("ViewSendLog", [](QWidget* w) {
    Screenshot(w, "client-sendlog", "ViewSendLog.png");
    auto* view = w->findChild<QAbstractItemView*>("?List");
    ASSERT_NE(view, nullptr);
    view->setCurrentIndex(view->model()->index(1, 0));
    Click(w, "?ReSend");
  });
  EXPECT_TRUE(ViewSendLog(nullptr, d, ini, job, &fields));
  EXPECT_EQ(fields.recipient.name, "Ann Lee");
  EXPECT_EQ(job.reference, "R2");
  EXPECT_TRUE(job.resend);
  EXPECT_EQ(ReadFile(job.mainAttachment), "%!PS\n");
  ASSERT_EQ(d.Queues().g_QattachOtherFiles.Records(), 1);
}

// What the viewer says when it cannot start: no kept copy, or a copy whose
// name cannot be passed on a command line.
TEST_F(WindowTest, ViewerTellsWhyNothingIsShown) {
  StartViewer("", "print file", "");
  StartViewer(ViewerCommandLine("view", "/k/a\"b"), "print file", "/k/a\"b");
  ASSERT_EQ(services.messages.size(), 2u);
  EXPECT_EQ(services.messages[0].text, "This entry has no print file to show.");
  EXPECT_EQ(services.messages[1].text, "The print file /k/a\"b cannot be shown: its name holds a double quote.");
}

TEST_F(WindowTest, ViewSendLogViewerAndDelete) {
  std::string log = dir / "SendLog.csv", record = dir / "record", kept = dir / "keep/kept msg.txt";
  std::filesystem::create_directories(record);
  std::filesystem::create_directories(dir / "keep");
  setenv("MVN_RECORD_DIR", record.c_str(), 1);
  WriteFile(kept, "Hello");
  WriteFile(log, "\"2026/12/01 10:00:00\",\"Ann\",\"\",\"111\",\"\",\"\",\"" + kept +
                 "\",\"\",\"\",\"\",\"\"\r\n\"2026/12/02 10:00:00\",\"Bob\",\"\",\"222\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n");
  WriteFile(dir / "client.ini", "[Files]\nSendLog=" + log + "\nSendlogKeepFiles=" + dir / "keep" +
                                    "\nviewTXTCommand=" + std::string(MVN_CLIENT_HELPER) + " record\n");
  Dictionary d;
  SendJob job;
  ResendFields fields;
  services.AnswerMessage(fw::ButtonYes);
  When("ViewSendLog", [](QWidget* w) {
    auto* view = w->findChild<QAbstractItemView*>("?List");
    view->setCurrentIndex(view->model()->index(0, 0));
    Click(w, "?ViewCP");
    // Ann's row is highlighted (a click marks the row alone): delete it.
    QRect r = view->visualRect(view->model()->index(0, 2));
    QMouseEvent press(QEvent::MouseButtonPress, r.center(), view->viewport()->mapToGlobal(r.center()), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, r.center(), view->viewport()->mapToGlobal(r.center()),
                        Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &release);
    Click(w, "?Delete");
    Click(w, "?Close");
  });
  EXPECT_FALSE(ViewSendLog(nullptr, d, ini, job, &fields));
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Are you sure you want to delete?");
  EXPECT_EQ(services.messages[0].caption, "Delete");
  std::vector<SendLogEntry> rows;
  std::string message;
  ASSERT_TRUE(LoadSendLog(log, &rows, &message));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].attn, "Bob");
  EXPECT_FALSE(std::filesystem::exists(kept));
  // The viewer got the path with its blank as one argument.
  ASSERT_TRUE(mvntest::WaitFor([&] {
    for (const auto& e : std::filesystem::directory_iterator(record))
      if (e.path().extension() == ".done") return true;
    return false;
  }));
  bool seen = false;
  for (const auto& e : std::filesystem::directory_iterator(record))
    if (e.path().extension() == ".argv") seen = ReadFile(e.path().string()).find("\n" + kept + "\n") != std::string::npos;
  EXPECT_TRUE(seen);
}

TEST_F(WindowTest, ResubmitWritesTheChosenRequest) {
  WriteFile(dir / "client.ini", "[Files]\nDeliveryCommand=/bin/true %1\n");
  Quiet prompter;
  When("RetryUnseccessful", [](QWidget* w) {
    Click(w, "?m_bSendUnsuccessfulTargets");
    Click(w, "?m_bSendAllTargetsAgainGroup");  // clears the other
    EXPECT_FALSE(w->findChild<QAbstractButton*>("?m_bSendUnsuccessfulTargets")->isChecked());
    Type(w, "?m_jobNum", "77");
    Screenshot(w, "client-sendlog", "RetryUnseccessful.png");
    Click(w, "?Close");
  });
  SendResult r = RetryUnseccessful(nullptr, ini, prompter);
  ASSERT_TRUE(r.written) << r.message;
  EXPECT_NE(ReadFile(r.requestPath).find("\r\nRESUBMITS:77\r\n"), std::string::npos);
}

TEST_F(WindowTest, BackToEnglishRestoresTheBuiltInTexts) {
  fw::Window w("Main", "Main");
  int prompt = w.AddPrompt("?Prompt1", "Attention:", QRect(4, 4, 60, 10));
  int item = w.AddItem("?Item1", "&Send", w.AddMenu("?File", "&File"));
  BuiltInTexts builtIn = CaptureBuiltInTexts(w);
  WriteFile(dir / "client_FRENCH.LNG", "[Main]\nTotalMenuToolbarItems=2\n1=" + std::to_string(prompt) +
                                          ",Attention :\n2=" + std::to_string(item) + ",&Envoyer\n");
  LanguageMenu menu;
  menu.names = {"ENGLISH", "FRENCH"};
  ApplyLanguage(w, "Main", builtIn, ChooseLanguage(menu, 2, "ENGLISH"), ini.FileName());
  EXPECT_EQ(w.Text(prompt), "Attention :");
  EXPECT_EQ(w.Text(item), "&Envoyer");
  ApplyLanguage(w, "Main", builtIn, ChooseLanguage(menu, 1, "FRENCH"), ini.FileName());
  EXPECT_EQ(w.Text(prompt), "Attention:");
  EXPECT_EQ(w.Text(item), "&Send");
}
