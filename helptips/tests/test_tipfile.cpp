// The tip file: lookup precedence, the editor's save decisions, opening and
// the upgrade of old tip files (with a second process holding the file).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "framework/core/services.h"
#include "framework/core/strings.h"
#include "helptips/tipfile.h"
#include "tests/support/tempdir.h"

using namespace mvn::helptips;
namespace fw = mvn::framework;

namespace {

void Add(FileManager& f, const char* proc, const char* ctl, const char* type, const char* text) {
  Record& r = f.Buffer();
  r.Clear();
  r.Set("ProcedureName", proc);
  r.Set("ControlName", ctl);
  r.Set("ControlType", type);
  r.Set("HelpTip", text);
  ASSERT_EQ(f.TryInsert(), 0) << fw::ErrorText();
}

struct TipFileTest : ::testing::Test {
  mvntest::TempDir dir;
  std::string path = dir / "hintwell.hwt";
  fw::ScriptedServices services;
  fw::ScopedServices scoped{&services};
  std::unique_ptr<FileManager> hwt = MakeTipFile(path);
  void SetUp() override { ASSERT_EQ(hwt->TryOpen(fw::Shared), 0) << fw::ErrorText(); }
  int64_t Count() { return hwt->Records(); }
  std::string Find(const char* proc, const char* ctl, const char* type) {
    FoundTip t = TipLookup(*hwt, {proc, ctl, type, path});
    return t.record.Clipped("HelpTip") + (t.action == TipAction::Insert ? "/new" : "") + (t.viaTypeTip ? "/type" : "");
  }
};

}  // namespace

TEST_F(TipFileTest, LookupPrecedence) {
  Add(*hwt, "", "", "ENTRY", "type");
  Add(*hwt, "", "?Name", "ENTRY", "control");
  Add(*hwt, "FindClient", "?Name", "ENTRY", "own");
  Add(*hwt, "Other", "", "LIST", "named type record");
  Add(*hwt, "", "", "LIST", "list type");  // a duplicate behind the named one
  EXPECT_EQ(Find("FindClient", "?Name", "ENTRY"), "own");
  EXPECT_EQ(Find("findclient", "?NAME", "ENTRY"), "own");  // keys ignore case
  EXPECT_EQ(Find("CmdSetup", "?Name", "ENTRY"), "control");
  EXPECT_EQ(Find("CmdSetup", "?Other", "ENTRY"), "type/type");
  EXPECT_EQ(Find("CmdSetup", "?Other", "LIST"), "list type/type");
  EXPECT_EQ(Find("CmdSetup", "?Other", "BUTTON"), "No Help for This Topic/new");
  FoundTip t = TipLookup(*hwt, {"CmdSetup", "?Other", "ENTRY", path});
  EXPECT_EQ(t.record.Clipped("ProcedureName"), "CmdSetup");  // keys set back to the request
  EXPECT_EQ(t.copy.Clipped("ProcedureName"), "");
}

TEST_F(TipFileTest, SaveTable) {
  Add(*hwt, "", "", "ENTRY", "type");
  Add(*hwt, "P", "?A", "ENTRY", "a");
  struct Row {
    const char* name;
    const char* proc;
    const char* ctl;
    const char* type;
    const char* newProc;
    const char* newCtl;
    const char* text;
    SaveOutcome outcome;
    int64_t records;
  } rows[] = {
      {"missing keys", "P", "?B", "BUTTON", "P", "", "x", SaveOutcome::MissingKeys, 2},
      {"new tip, blank text", "P", "?B", "BUTTON", "P", "?B", "", SaveOutcome::Inserted, 3},
      {"change in place", "P", "?A", "ENTRY", "P", "?A", "a2", SaveOutcome::Saved, 3},
      {"rename adds", "P", "?A", "ENTRY", "Q", "?A", "a3", SaveOutcome::Inserted, 4},
      {"type tip edited: own tip", "P", "?Z", "ENTRY", "P", "?Z", "z", SaveOutcome::Inserted, 5},
      {"type tip blanked", "P", "?Y", "ENTRY", "P", "?Y", "", SaveOutcome::NothingToDo, 5},
      {"blank deletes", "Q", "?A", "ENTRY", "Q", "?A", "", SaveOutcome::Deleted, 4},
  };
  for (const Row& row : rows) {
    FoundTip t = TipLookup(*hwt, {row.proc, row.ctl, row.type, path});
    t.record.Set("ProcedureName", row.newProc);
    t.record.Set("ControlName", row.newCtl);
    if (!*row.newCtl) t.record.Set("ControlType", "");
    t.record.Set("HelpTip", row.text);
    EXPECT_EQ(TipSave(*hwt, t, 1000), row.outcome) << row.name;
    EXPECT_EQ(Count(), row.records) << row.name;
  }
  EXPECT_EQ(Find("P", "?A", "ENTRY"), "a2");
  EXPECT_EQ(Find("X", "?Q", "ENTRY"), "type/type");  // the shared tip is untouched
  EXPECT_EQ(Find("P", "?Z", "ENTRY"), "z");
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Either the Control name or the Control Type must be entered.");
  EXPECT_EQ(services.messages[0].caption, "Hintwell Tip");
}

TEST_F(TipFileTest, RepeatedSavesAndDeleteThenTextAgain) {
  FoundTip t = TipLookup(*hwt, {"P", "?N", "ENTRY", path});
  t.record.Set("HelpTip", "one");
  EXPECT_EQ(TipSave(*hwt, t, 1), SaveOutcome::Inserted);
  t.record.Set("HelpTip", "two");
  EXPECT_EQ(TipSave(*hwt, t, 2), SaveOutcome::Saved);  // the copy was refreshed
  t.settings = "[B1]TOOLTIP;x\xC2\xAB";
  EXPECT_EQ(TipRewrite(*hwt, t, 3), SaveOutcome::Saved);
  EXPECT_EQ(Count(), 1);
  t.record.Set("HelpTip", "");
  EXPECT_EQ(TipSave(*hwt, t, 4), SaveOutcome::Deleted);
  t.record.Set("HelpTip", "three");
  EXPECT_EQ(TipSave(*hwt, t, 5), SaveOutcome::Inserted);
  EXPECT_EQ(Count(), 1);
  FoundTip back = TipLookup(*hwt, {"P", "?N", "ENTRY", path});
  EXPECT_EQ(back.record.Clipped("HelpTip"), "three");
  EXPECT_EQ(back.record.GetLong("LastEditDate"), 5);
}

TEST_F(TipFileTest, WriteFailuresAreReported) {
  Add(*hwt, "P", "?A", "ENTRY", "a");
  Add(*hwt, "P", "?B", "ENTRY", "b");
  FoundTip changed = TipLookup(*hwt, {"P", "?A", "ENTRY", path});
  FoundTip blanked = TipLookup(*hwt, {"P", "?B", "ENTRY", path});
  // Another station removes both tips meanwhile.
  auto other = MakeTipFile(path);
  ASSERT_EQ(other->TryOpen(), 0);
  for (const char* ctl : {"?A", "?B"}) {
    other->Buffer().Clear();
    other->Buffer().Set("ProcedureName", "P");
    other->Buffer().Set("ControlName", ctl);
    ASSERT_EQ(other->TryFetch("ProcedureNameKey"), 0);
    ASSERT_EQ(other->TryDelete(), 0);
  }
  changed.record.Set("HelpTip", "a2");
  EXPECT_EQ(TipSave(*hwt, changed, 1), SaveOutcome::Failed);
  EXPECT_EQ(changed.action, TipAction::Change);
  blanked.record.Set("HelpTip", "");
  EXPECT_EQ(TipSave(*hwt, blanked, 1), SaveOutcome::Failed);
  // A file opened for reading only refuses the insert.
  auto readOnly = MakeTipFile(path);
  hwt->Close();
  other->Close();
  ASSERT_EQ(readOnly->TryOpen(fw::ReadOnly | fw::DenyNone), 0);
  FoundTip fresh = TipLookup(*readOnly, {"P", "?C", "ENTRY", path});
  fresh.record.Set("HelpTip", "c");
  EXPECT_EQ(TipSave(*readOnly, fresh, 1), SaveOutcome::Failed);
  EXPECT_EQ(fresh.action, TipAction::Insert);
  ASSERT_EQ(services.messages.size(), 3u);
  EXPECT_EQ(services.messages[0].caption, "Update Operation Error");
  EXPECT_EQ(services.messages[1].caption, "Delete Operation Error");
  EXPECT_EQ(services.messages[2].caption, "Record Insert Error");
}

TEST_F(TipFileTest, RewriteOfANewTipInserts) {
  FoundTip t = TipLookup(*hwt, {"P", "?F", "BUTTON", path});
  t.settings = "[B1]CALL;MSG400,2\xC2\xAB";
  EXPECT_EQ(TipRewrite(*hwt, t, 7), SaveOutcome::Inserted);
  EXPECT_EQ(TipLookup(*hwt, {"P", "?F", "BUTTON", path}).settings, "[B1]CALL;MSG400,2\xC2\xAB");
}

TEST_F(TipFileTest, OtherKeepsItsBytes) {
  FoundTip t = TipLookup(*hwt, {"P", "?W", "ENTRY", path});
  std::string other = std::string("\xF4\x00\xFF\x80", 4);  // 244 and two bytes that are no UTF-8
  t.record.Set("Other", other);
  t.record.Set("HelpTip", "w");
  ASSERT_EQ(TipSave(*hwt, t, 1), SaveOutcome::Inserted);
  hwt->Close();
  ASSERT_EQ(hwt->TryOpen(fw::Shared), 0);
  std::string back = TipLookup(*hwt, {"P", "?W", "ENTRY", path}).record.Get("Other");
  EXPECT_EQ(back, other);
  EXPECT_EQ(TipWidth(&back), 244);
}

namespace {

void MakeOld(const std::string& path, int n) {
  auto old = MakeTipFileOld(path);
  ASSERT_EQ(old->TryOpen(fw::Shared), 0) << fw::ErrorText();
  for (int i = 0; i < n; ++i) {
    Record& r = old->Buffer();
    r.Clear();
    r.Set("ProcedureName", "Proc" + std::to_string(i));
    r.Set("ControlName", "?C");
    r.Set("ControlType", "ENTRY");
    r.Set("HelpTip", "tip " + std::to_string(i));
    r.Set("Settings", "[B1]TOOLTIP;t\xAB");
    ASSERT_EQ(old->TryInsert(), 0);
  }
  old->Close();
}

int FilesIn(const std::string& dir) {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator(dir)) (void)e, ++n;
  return n;
}

}  // namespace

TEST(TipFileUpgradeTest, OldFileIsConvertedOnFirstOpen) {
  mvntest::TempDir dir;
  fw::ScriptedServices services;
  fw::ScopedServices scoped(&services);
  std::string path = dir / "old.hwt";
  MakeOld(path, 3);
  ASSERT_EQ(TipFileOpen(path), 0) << fw::ErrorText();
  EXPECT_EQ(TipOpeners(path, false), 1);
  EXPECT_EQ(TipOpeners(path, true), 1);
  FileManager& hwt = TipDeclaration(path, false);
  EXPECT_EQ(hwt.Records(), 3);
  FoundTip t = TipLookup(hwt, {"Proc1", "?C", "ENTRY", path});
  EXPECT_EQ(t.action, TipAction::Change);
  EXPECT_EQ(t.record.Clipped("HelpTip"), "tip 1");
  EXPECT_EQ(t.settings, "[B1]TOOLTIP;t\xAB");
  EXPECT_EQ(t.record.GetLong("LastEditDate"), fw::Today());
  EXPECT_EQ(t.record.Get("Other"), "");
  ASSERT_EQ(services.progresses.size(), 1u);
  EXPECT_EQ(services.progresses[0]->request.text, "Please wait... upgrading Hintwell Tip file...");
  EXPECT_EQ(services.progresses[0]->total, 3);
  EXPECT_EQ(FilesIn(dir.str()), 1);  // no temporary copy is left
  TipFileClose(path);
  EXPECT_EQ(TipOpeners(path, false), 0);
  // A second open finds the new layout: nothing more to convert.
  ASSERT_EQ(TipFileOpen(path), 0);
  EXPECT_EQ(services.progresses.size(), 1u);
  TipFileClose(path);
}

TEST(TipFileUpgradeTest, AnythingElseIsLeftUntouched) {
  mvntest::TempDir dir;
  fw::ScriptedServices services;
  fw::ScopedServices scoped(&services);
  // A keyed file whose HelpTips table has another declaration, and a text file.
  std::string other = dir / "book.kdf";
  {
    FileManager f(fw::Driver::Keyed, fw::MakeLayout("X", {fw::StringField("Company", 20)}), TipTableName(other));
    ASSERT_EQ(f.TryOpen(), 0);
    f.Buffer().Set("Company", "keep me");
    ASSERT_EQ(f.TryInsert(), 0);
  }
  std::string text = dir / "notes.hwt";
  { std::FILE* f = std::fopen(text.c_str(), "w"); std::fputs("just text\n", f); std::fclose(f); }
  std::string before = mvntest::ReadFile(other);
  EXPECT_EQ(TipFileOpen(other), fw::LayoutDiffersError);
  EXPECT_EQ(mvntest::ReadFile(other), before);
  EXPECT_EQ(TipFileOpen(text), fw::LayoutDiffersError);
  EXPECT_EQ(mvntest::ReadFile(text), "just text\n");
  ASSERT_EQ(services.messages.size(), 2u);
  EXPECT_EQ(services.messages[0].caption, "Invalid File");
  EXPECT_NE(services.messages[0].text.find("accessing " + other), std::string::npos);
  EXPECT_NE(services.messages[0].text.find("Press OK to end this application."), std::string::npos);
  EXPECT_EQ(TipOpeners(other, false), 0);
  EXPECT_EQ(FilesIn(dir.str()), 2);
}

TEST(TipFileUpgradeTest, SecondProcessHoldingTheFileIsReported) {
  mvntest::TempDir dir;
  fw::ScriptedServices services;
  fw::ScopedServices scoped(&services);
  std::string path = dir / "shared.hwt";
  std::string marker = dir / "marker";
  MakeOld(path, 2);
  std::string command = std::string(MVN_HELPTIPS_HOLDER) + " '" + path + "' '" + marker + "'";
  std::FILE* holder = popen(command.c_str(), "w");
  ASSERT_NE(holder, nullptr);
  for (int i = 0; i < 500 && !std::filesystem::exists(marker); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(std::filesystem::exists(marker));
  std::string before = mvntest::ReadFile(path);
  EXPECT_NE(TipFileUpgrade(path), 0);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Unable to access Tip file : " + path + " because someone else is using it.");
  EXPECT_EQ(services.messages[0].caption, "");
  EXPECT_EQ(mvntest::ReadFile(path), before);
  EXPECT_EQ(pclose(holder), 0);
  std::filesystem::remove(marker);
  EXPECT_EQ(TipFileUpgrade(path), 0) << fw::ErrorText();
  auto hwt = MakeTipFile(path);
  ASSERT_EQ(hwt->TryOpen(), 0);
  EXPECT_EQ(hwt->Records(), 2);
  EXPECT_EQ(FilesIn(dir.str()), 1);
}

TEST(TipFileOpenTest, MissingKeyIsRebuiltOnYes) {
  mvntest::TempDir dir;
  fw::ScriptedServices services;
  fw::ScopedServices scoped(&services);
  std::string path = dir / "keys.hwt";
  ASSERT_EQ(TipFileOpen(path), 0);
  TipFileClose(path);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DROP INDEX \"HelpTips$ControlTypeKey\"", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  services.AnswerMessage(fw::ButtonYes);
  ASSERT_EQ(TipFileOpen(path), 0) << fw::ErrorText();
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, path + " key file is invalid.  Do you want to rebuild the key?");
  EXPECT_EQ(services.messages[0].caption, "Invalid Key");
  TipFileClose(path);
  // Open again: the key is back, nothing is asked.
  ASSERT_EQ(TipFileOpen(path), 0);
  EXPECT_EQ(services.messages.size(), 1u);
  TipFileClose(path);
}

TEST(TipFileOpenTest, MissingFileIsCreated) {
  mvntest::TempDir dir;
  fw::ScriptedServices services;
  fw::ScopedServices scoped(&services);
  std::string path = dir / "new.hwt";
  ASSERT_EQ(TipFileOpen(path), 0);
  EXPECT_TRUE(std::filesystem::exists(path));
  TipFileClose(path);
  EXPECT_TRUE(services.messages.empty());
}
