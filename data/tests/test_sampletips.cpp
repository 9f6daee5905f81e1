// dashpost_sampletips as a real process: the sample's tip text becomes a
// tip file the tip lookup answers from, and bad input or an existing file
// is refused without writing anything.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "framework/core/services.h"
#include "helptips/tipfile.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

namespace fw = mvn::framework;
namespace ht = mvn::helptips;

namespace {

int Make(const std::string& text, const std::string& file, std::string* output) {
  return mvntest::RunShell(std::string("'") + SAMPLETIPS + "' '" + text + "' '" + file + "' 2>&1", output);
}

std::string Lookup(const std::string& file, const char* procedure, const char* control, const char* type) {
  auto hwt = ht::MakeTipFile(file);
  EXPECT_EQ(hwt->TryOpen(fw::ReadOnly | fw::DenyNone), 0) << fw::ErrorText();
  ht::FoundTip tip = ht::TipLookup(*hwt, {procedure, control, type, file});
  std::string text = tip.record.Clipped("HelpTip") + (tip.action == ht::TipAction::Insert ? " (new)" : "");
  hwt->Close();
  return text;
}

TEST(SampleTips, TheSampleTextAnswersTheSendWindowsControls) {
  fw::ScriptedServices services;
  fw::ScopedServices scoped{&services};
  mvntest::TempDir dir;
  const std::string file = dir / "hintwell.hwt";
  std::string output;
  ASSERT_EQ(Make(MVN_SOURCE_TIPS, file, &output), 0) << output;
  // A tip of two lines keeps its line break; the keys ignore case as every
  // tip request's do.
  EXPECT_EQ(Lookup(file, "Main", "?g_To", "ENTRY").substr(0, 29), "The person the fax is for.\r\nT");
  EXPECT_EQ(Lookup(file, "MAIN", "?BUTTONSENDFAX", "BUTTON").substr(0, 14), "Sends the fax.");
  EXPECT_EQ(Lookup(file, "Main", "?Unknown", "ENTRY"), "No Help for This Topic (new)");
  // A second making refuses the existing file and leaves it as it was.
  const std::string before = mvntest::ReadFile(file);
  EXPECT_EQ(Make(MVN_SOURCE_TIPS, file, &output), 1);
  EXPECT_NE(output.find("exists already"), std::string::npos) << output;
  EXPECT_EQ(mvntest::ReadFile(file), before);
}

TEST(SampleTips, BadBlocksAreRefusedWithTheirLine) {
  mvntest::TempDir dir;
  struct Case {
    const char* text;
    const char* said;
  } cases[] = {
      {"[Main ?g_To]\ntext\n", "line 1: not"},
      {"; note\n[Main ?g_To ENTRY extra]\ntext\n", "line 2: not"},
      {"[Main ?g_To ENTRY]\n\n\n", "line 1: the tip has no text"},
      {"[Main ?a_name_longer_than_the_fifty_bytes_of_the_control_field ENTRY]\ntext\n", "line 1: not"},
  };
  for (const Case& c : cases) {
    const std::string text = dir / "tips.txt", file = dir / "tips.hwt";
    mvntest::WriteFile(text, c.text);
    std::string output;
    EXPECT_EQ(Make(text, file, &output), 1) << c.text;
    EXPECT_NE(output.find(c.said), std::string::npos) << c.text << output;
    EXPECT_FALSE(std::filesystem::exists(file)) << c.text;
  }
}

}  // namespace
