// Language files: the file-name rule, capture and translation against a
// real window, with sections written by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "client/ui/language.h"
#include "framework/gui/window.h"
#include "tests/support/tempdir.h"

namespace fw = mvn::framework;
using mvn::client::LanguageFileName;

TEST(Language, FileNameKeepsTheIniCaseAndUpperCasesTheLanguage) {
  EXPECT_EQ(LanguageFileName("/opt/Mv/dashpost.INI", "french"), "/opt/Mv/dashpost_FRENCH.LNG");
  EXPECT_EQ(LanguageFileName("/home/u/DashPost/DashPost.ini", " German "), "/home/u/DashPost/DashPost_GERMAN.LNG");
  EXPECT_EQ(LanguageFileName("/a.b/dashpost", "X"), "/a.b/dashpost_X.LNG");
  EXPECT_EQ(LanguageFileName("/a/d.INI", ""), "/a/d_ENGLISH.LNG");
}

namespace {
struct Fixture : ::testing::Test {
  mvntest::TempDir dir;
  std::string Write(const std::string& text) {
    std::string path = dir.str() + "/dashpost_FRENCH.LNG";
    std::ofstream(path) << text;
    return path;
  }
};
}  // namespace

TEST_F(Fixture, MissingKeysDoNotCountAndATextEndsAtItsComma) {
  fw::Window w("Main", "Dashpost");
  int menu = w.AddMenu("?File", "&File");
  int item = w.AddItem("?Exit", "E&xit", menu);
  int p = w.AddPrompt("?P", "&To:", QRect(0, 0, 20, 8));
  int e = w.AddEntry("?E", QRect(20, 0, 40, 8));
  int b = w.AddButton("?B", "&Send", QRect(0, 10, 40, 12));
  w.SetText(e, "typed");
  fw::IniFile file(Write("[Main]\nTotalMenuToolbarItems=3\n1=" + std::to_string(p) + ",&A:\n2=" + std::to_string(b) +
                         ",&Envoyer,extra\n4=" + std::to_string(item) + ",&Quitter\n5=" + std::to_string(e) +
                         ",never\n"));
  mvn::client::TranslateWindow(&w, "Main", file);
  EXPECT_EQ(w.Text(p), "&A:");
  EXPECT_EQ(w.Text(b), "&Envoyer");
  EXPECT_EQ(w.Text(item), "&Quitter");
  EXPECT_EQ(w.Text(e), "typed");  // past the count, and an entry's value is never a text
  EXPECT_EQ(w.Text(menu), "&File");
}

TEST_F(Fixture, CaptureThenTranslateKeepsTheEnglishTexts) {
  fw::Window w("Main", "Dashpost");
  int menu = w.AddMenu("?File", "&File");
  w.AddItem("?Exit", "E&xit", menu);
  w.AddPrompt("?P", "&To:", QRect(0, 0, 20, 8));
  w.AddButton("?B", "&Send", QRect(0, 10, 40, 12));
  std::string ini = dir.str() + "/dashpost.INI";
  mvn::client::SetLanguage("french", ini);
  mvn::client::SetCaptureTexts(true);
  std::string lang = "ENGLISH";
  mvn::client::LanguageWindowOpened(&w, "Main", &lang);
  mvn::client::SetCaptureTexts(false);
  EXPECT_EQ(lang, "FRENCH");
  fw::IniFile f(dir.str() + "/dashpost_FRENCH.LNG");
  EXPECT_EQ(f.Fetch("Main", "TotalMenuToolbarItems"), "4");
  EXPECT_EQ(f.Fetch("Main", "1"), "-2,E&xit");  // menu and toolbar items first, ascending
  EXPECT_EQ(f.Fetch("Main", "2"), "-1,&File");
  EXPECT_EQ(f.Fetch("Main", "3"), "1,&To:");
  EXPECT_EQ(w.Text(2), "&Send");
  mvn::client::SetLanguage("", ini);
  EXPECT_EQ(mvn::client::CurrentLanguage(), "ENGLISH");
  EXPECT_TRUE(mvn::client::LanguageFile().FileName().empty());
}
