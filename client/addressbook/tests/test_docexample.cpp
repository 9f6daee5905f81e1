// The worked example of docs/architecture.md ("Writing a client window"),
// as written there: an address form over the client's own dictionary.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

#include "client/records/records.h"
#include "framework/core/errors.h"
#include "framework/core/services.h"
#include "framework/gui/browse.h"
#include "framework/gui/tests/support.h"
#include "tests/support/tempdir.h"

using namespace mvn::framework;

namespace {

QLineEdit* Entry(QWidget* window, const char* useName) { return window->findChild<QLineEdit*>(useName); }
QPushButton* Button(QWidget* window, const char* useName) { return window->findChild<QPushButton*>(useName); }

class WorkedExample : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dict.SetAddressBookFiles(dir / "Personal", "KEYED"));
    ASSERT_EQ(clients().Open(), NoError);
    ASSERT_EQ(dict.File("MVGroupClient").Open(), NoError);
  }
  void TearDown() override { dict.CloseAll(); }
  FileManager& clients() { return dict.File("MVClients"); }

  mvntest::TempDir dir;
  mvn::client::Dictionary dict;
  ScriptedServices script;
  ScopedServices installed{&script};
};

// The worked example of docs/architecture.md, as written there.
int UpdateMVClient(mvn::client::Dictionary& dict, FormMode mode) {
  FileManager& clients = dict.File("MVClients");
  Record& r = clients.Buffer();
  UpdateForm form("UpdateMVClient", clients, &dict.Relation("MVClients"));
  form.SetCaption(FormMode::Insert, "Adding an Address Record");
  form.SetCaption(FormMode::Change, "Changing an Address Record");

  form.AddPrompt("?Prompt1", "C&ompany Name:", QRect(5, 5, 64, 10));
  int company = form.AddEntry("?MVC:Company", QRect(70, 5, 150, 11), 99);
  form.AddPrompt("?Prompt2", "&Fax Number:", QRect(5, 20, 64, 10));
  int fax = form.AddEntry("?MVC:FaxNum", QRect(70, 20, 150, 11), 49);
  form.AddPrompt("?Prompt3", "Email Address:", QRect(5, 35, 64, 10));
  int email = form.AddEntry("?MVC:Email", QRect(70, 35, 150, 11), 49);
  int option = form.AddOption("?Option", "Preferred Destination:", QRect(5, 50, 200, 24));
  form.AddRadio(option, "?Option:Radio1", "Use Fax", "1", QRect(10, 60, 60, 10));
  form.AddRadio(option, "?Option:Radio2", "Use Email", "2", QRect(80, 60, 60, 10));
  form.Bind(company, &r, "Company");
  form.Bind(fax, &r, "FaxNum");
  form.Bind(email, &r, "Email");

  auto destinations = [&] {
    form.Disable(option, form.Text(fax).empty() || form.Text(email).empty());
  };
  QObject::connect(&form, &Window::windowEvent, [&](int event, int field) {
    if (event == EventOpenWindow) destinations();
    if (event == EventAccepted && (field == fax || field == email)) destinations();
  });
  form.SetCheck([&] {
    r.Set("PreferredDestination", form.Text(option) == "1" ? r.Clipped("FaxNum") : r.Clipped("Email"));
    return true;
  });
  return form.Ask(mode);
}

TEST_F(WorkedExample, AddressFormOfTheArchitectureNotes) {
  bool disabledAtFirst = false, enabledLater = false;
  guitest::When([] { return guitest::VisibleTopLevel("UpdateMVClient"); }, [&](QWidget* w) {
    QWidget* option = w->findChild<QWidget*>("?Option");
    disabledAtFirst = !option->isEnabled();
    Entry(w, "?MVC:Company")->setText("Acme");
    auto* mail = Entry(w, "?MVC:Email");
    mail->setFocus();
    guitest::TypeKeys(mail, "a@b.c");
    guitest::PressKey(mail, Qt::Key_Return);
    Entry(w, "?MVC:FaxNum")->setFocus();
    guitest::TypeKeys(Entry(w, "?MVC:FaxNum"), "555");
    guitest::PressKey(Entry(w, "?MVC:FaxNum"), Qt::Key_Return);
    enabledLater = option->isEnabled();
    w->findChild<QAbstractButton*>("?Option:Radio2")->click();
    Button(w, "?OK")->click();
  });
  EXPECT_EQ(UpdateMVClient(dict, FormMode::Insert), RequestCompleted);
  EXPECT_TRUE(disabledAtFirst);
  EXPECT_TRUE(enabledLater);
  clients().Buffer().Clear();
  clients().Buffer().Set("Company", "acme");
  ASSERT_EQ(clients().TryFetch("MVC:KeyCompany"), NoError);
  EXPECT_EQ(clients().Buffer().Clipped("PreferredDestination"), "a@b.c");
}

}  // namespace
