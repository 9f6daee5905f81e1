// Markup, settings text, layout numbers, history and action command lines:
// the pure parts of the tip window.
#include <gtest/gtest.h>

#include "helptips/layout.h"
#include "helptips/markup.h"
#include "helptips/settings.h"
#include "helptips/tipfile.h"

using namespace mvn::helptips;

namespace {

// "type:name:text" per element.
std::string Show(const MarkupResult& r) {
  std::string out;
  for (const MarkupElement& e : r.elements)
    out += (out.empty() ? "" : " ") + e.type + ":" + e.name + ":" + e.text + "@" + std::to_string(e.line);
  for (int l : r.errorLines) out += (out.empty() ? "!" : " !") + std::to_string(l);
  return out;
}

}  // namespace

TEST(Markup, TableOfLines) {
  struct Case {
    const char* line;
    const char* expected;
  } cases[] = {
      {"before <HR> after", "Line:Line:@1"},
      {"<<B is not a button", "String:S  1:<B is not a button@1"},
      {"Press <B1> to go on", "String:S  1:Press @1 BUTTON:B1:@1 String:S  2: to go on@1"},
      {"a|b", "String:S  1:a@1 String:S  2:b@1"},
      {"|", "String:S  1:@1"},
      {"<Xb", "String:S  1:Xb@1"},
      {"<Bxyz1> tail", "String:S  1: tail@1 !1"},
      {"<B1", "!1"},
      {"<T1>Item", "BULLET:T1:@1 String:S  1:Item@1"},
      {"See <www.example.com>", "String:S  1:See @1 HTTP:HTTP1:www.example.com@1 REGION:Region1:@1"},
      {"<c:/docs/x.html>", "HTTP:HTTP1:c:/docs/x.html@1 REGION:Region1:@1"},
      {"<LNK:Next Tip> more", "LNK:LNK1:Next Tip@1 REGION:Region1:@1 String:S  1: more@1"},
      {"<LNK:no end", "!1"},
      {"   ", "String:S  1:@1"},
      {"trailing   ", "String:S  1:trailing   @1"},
  };
  for (const Case& c : cases) EXPECT_EQ(Show(TipParseFormat({c.line})), c.expected) << c.line;
}

TEST(Markup, LinesCountersAndErrorsGoOn) {
  MarkupResult r = TipParseFormat({"one <B1>", "", "<HTTP://a> <B2", "two <LNK:x>"});
  EXPECT_EQ(Show(r),
            "String:S  1:one @1 BUTTON:B1:@1 String:S  2:@2 HTTP:HTTP1:HTTP://a@3 REGION:Region1:@3 "
            "String:S  3: @3 String:S  4:two @4 LNK:LNK1:x@4 REGION:Region2:@4 !3");
  for (size_t i = 0; i < r.elements.size(); ++i) EXPECT_EQ(r.elements[i].number, static_cast<int>(i) + 1);
}

TEST(Markup, WrappingNeverSplitsATag) {
  auto pitch = [](std::string_view s) { return static_cast<int>(s.size()) * 4; };
  auto lines = SplitTipLines("go to <LNK:The other tip> now\r\nnext", 40, pitch);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "go to");
  EXPECT_EQ(lines[1], "<LNK:The other tip>");
  EXPECT_EQ(lines[2], "now");
  EXPECT_EQ(lines[3], "next");
}

TEST(Settings, ReadWriteRoundTrip) {
  std::string text = std::string("[A]P;1") + kSettingSeparator + "Q;2" + kSettingSeparator + "[B]P;3" +
                     kSettingSeparator;
  SettingsList list;
  ReadSettings(text, &list);
  ASSERT_EQ(list.Entries().size(), 3u);
  EXPECT_EQ(list.Value("A", "P"), "1");
  EXPECT_EQ(list.Value("A", "Q"), "2");
  EXPECT_EQ(list.Value("B", "P"), "3");
  EXPECT_EQ(WriteSettings(list), text);
  // The lone byte of older files reads the same; an empty value vanishes.
  ReadSettings("[A]P;1\xABQ;\xAB[B]P;3\xAB", &list);
  EXPECT_EQ(list.Entries().size(), 2u);
  EXPECT_EQ(WriteSettings(list), std::string("[A]P;1") + kSettingSeparator + "[B]P;3" + kSettingSeparator);
}

TEST(Settings, CharactersSeparatorsAndWidths) {
  SettingsList list;
  // A value holding "«" or other UTF-8 characters is read by characters.
  ReadSettings("[S  1]FONT;Gr\xC3\xBC\xC3\x9F" "e,10,255,1\xC2\xAB[B1]TOOLTIP;caf\xC3\xA9", &list);
  EXPECT_EQ(list.Value("S  1", "FONT"), "Gr\xC3\xBC\xC3\x9F" "e,10,255,1");
  EXPECT_EQ(list.Value("B1", "TOOLTIP"), "caf\xC3\xA9");
  EXPECT_FALSE(list.Store({"B1", "TOOLTIP", "a;b", ""}));
  EXPECT_FALSE(list.Store({"B1", "TOOLTIP", "a\xC2\xAB" "b", ""}));
  EXPECT_FALSE(list.Store({"B1", "TOOLTIP", "[x]", ""}));
  EXPECT_EQ(list.Value("B1", "TOOLTIP"), "caf\xC3\xA9");
  // Cut to 60 bytes, never inside a character; the cut is remembered.
  std::string longValue = "EXE" + std::string(56, 'x') + "\xC3\xA9";
  ReadSettings("[B1]CALL;" + longValue, &list);
  EXPECT_EQ(list.Value("B1", "CALL"), "EXE" + std::string(56, 'x'));
  EXPECT_TRUE(list.Find("B1", "CALL")->cut);
  // LINKPROC / LINKCTL are skipped, the rest is read.
  ReadSettings("[L]LINKPROC;x\xABLINKTIPPROC;FindClient\xAB", &list);
  EXPECT_EQ(list.Entries().size(), 1u);
  EXPECT_EQ(list.Value("L", "LINKTIPPROC"), "FindClient");
}

TEST(Settings, RematchKeepsMovesDrops) {
  SettingsList list;
  list.Store({"S  1", "FONT", "Arial,10,0,0", "Hello"});
  list.Store({"S  2", "FONT", "Arial,12,0,0", "World"});
  list.Store({"HTTP1", "TOOLTIP", "site", "www.gone.com"});
  // Texts edited: "world" now first, "Hello" gone, the link gone.
  std::vector<MarkupElement> elements = {{"S  1", "String", "WORLD", 1, 1}, {"S  2", "String", "other", 2, 2}};
  RematchSettings(&list, elements);
  // S  1 keeps its name (the element is still there); S  2's entry follows
  // its text to S  1 and replaces it there; the link's entry is dropped.
  ASSERT_EQ(list.Entries().size(), 1u);
  EXPECT_EQ(list.Value("S  1", "FONT"), "Arial,12,0,0");
  EXPECT_EQ(list.Value("S  2", "FONT"), "");
  EXPECT_EQ(list.Find("HTTP1", "TOOLTIP"), nullptr);
}

TEST(Layout, NumbersAndHeightEdge) {
  auto measure = [](std::string_view s, const TipFont*, int* w, int* h) {
    *w = static_cast<int>(s.size()) * 4;
    *h = 8;
  };
  MarkupResult r = TipParseFormat({"Press <B1> ok", "<T1>x <www.a.b>"});
  SettingsList settings;
  settings.Store({"B1", "TOOLTIP", "Go", ""});
  TipLayoutResult l = TipLayout(r.elements, settings, 169, false, measure);
  ASSERT_EQ(l.placed.size(), 7u);
  EXPECT_EQ(l.placed[0].x, 11);  // "Press "
  EXPECT_EQ(l.placed[0].y, 14);
  EXPECT_EQ(l.placed[1].x, 35);  // button after 6 * 4
  EXPECT_EQ(l.placed[1].tooltip, "Go");
  EXPECT_EQ(l.placed[2].x, 48);  // + 9 + 4
  EXPECT_EQ(l.placed[3].x, 11);  // bullet, next line
  EXPECT_EQ(l.placed[3].y, 23);
  EXPECT_EQ(l.placed[3].text, "\xE2\x96\xAA");
  EXPECT_EQ(l.placed[4].x, 26);  // + 12 + 3
  EXPECT_EQ(l.placed[5].height, 10);
  EXPECT_EQ(l.placed[6].x, l.placed[5].x);
  EXPECT_EQ(l.placed[6].tooltip, "Click here..");
  EXPECT_EQ(l.windowHeight, 33);
  EXPECT_EQ(l.frameHeight, 43);

  // Y = 5 + 9 n: 26 lines give 239; find the edge with rules (HR adds 5).
  auto heightFor = [&](int lines, int rules) {
    std::vector<std::string> text(static_cast<size_t>(lines), "x");
    for (int i = 0; i < rules; ++i) text.push_back("<HR>");
    return TipLayout(TipParseFormat(text).elements, settings, 169, false, measure);
  };
  TipLayoutResult a = heightFor(26, 0);  // 5 + 234 = 239
  EXPECT_EQ(a.contentHeight, 239);
  EXPECT_TRUE(a.scrolls);
  EXPECT_EQ(a.windowHeight, 235);
  // Ten lines and ten rules (9 + 5 each): 5 + 90 + 140 = 235.
  TipLayoutResult b = heightFor(10, 10);
  EXPECT_EQ(b.contentHeight, 235);
  EXPECT_FALSE(b.scrolls);
  EXPECT_EQ(b.windowHeight, 245);
  // An empty tip: Y stays 5.
  EXPECT_EQ(TipLayout({}, settings, 169, true, measure).windowHeight, 15);
}

TEST(Layout, HeightEdgeByContentHeight) {
  // The rule itself, independent of how Y was reached.
  auto measure = [](std::string_view, const TipFont*, int* w, int* h) { *w = 4, *h = 8; };
  SettingsList none;
  // Y = 5 + 9 per text line + 14 per rule; every mix giving 235 or 236.
  for (int a = 0; a < 30; ++a)
    for (int b = 0; b < 20; ++b) {
      int y = 5 + 9 * a + 14 * b;
      if (y != 235 && y != 236) continue;
      std::vector<std::string> text(static_cast<size_t>(a), "x");
      for (int i = 0; i < b; ++i) text.push_back("<HR>");
      TipLayoutResult l = TipLayout(TipParseFormat(text).elements, none, 169, false, measure);
      ASSERT_EQ(l.contentHeight, y);
      EXPECT_EQ(l.windowHeight, y == 235 ? 245 : 235) << y;
      EXPECT_EQ(l.scrolls, y == 236) << y;
    }
}

TEST(Layout, WidthBytes) {
  std::string other;
  EXPECT_EQ(TipWidth(&other), 169);
  EXPECT_EQ(other, std::string("\xA9\x00", 2));
  other = std::string("\xF4\x01rest", 6);  // 500
  EXPECT_EQ(TipWidth(&other), 169);
  EXPECT_EQ(other, std::string("\xA9\x00rest", 6));
  other = std::string("\xAA\x00", 2);  // 170
  EXPECT_EQ(TipWidth(&other), 170);
  other = std::string("\xF3\x01", 2);  // 499
  EXPECT_EQ(TipWidth(&other), 499);
  SetTipWidth(&other, 300);
  EXPECT_EQ(other, std::string("\x2C\x01", 2));
}

TEST(Layout, PlacementAndHistory) {
  int x = 0, y = 0;
  bool mx = false, my = false;
  TipPlace(400, 300, 169, 50, true, &x, &y, &mx, &my, 10, 10);
  EXPECT_TRUE(mx && my);
  EXPECT_EQ(x, 400 - 169 - 2);
  EXPECT_EQ(y, 300 - 50 - 2 - 10);
  TipPlace(5, 5, 169, 50, false, &x, &y, &mx, &my, 10, 10);
  EXPECT_FALSE(mx || my);

  TipHistory h;
  HistoryEntry e;
  EXPECT_FALSE(h.Back(&e));
  EXPECT_FALSE(h.Forward(&e));
  h.Push({"P", "?a", ""});
  h.Push({"P", "?a", ""});  // the same request is not appended twice
  h.Push({"", "?b", ""});
  EXPECT_EQ(h.Size(), 2);
  EXPECT_TRUE(h.Back(&e));
  EXPECT_EQ(e.control, "?a");
  EXPECT_TRUE(h.Back(&e));  // stays on the first entry
  EXPECT_EQ(h.Position(), 0);
  h.Push({"", "?c", ""});  // drops what lay after the position
  EXPECT_EQ(h.Size(), 2);
  EXPECT_FALSE(h.Forward(&e));
}

TEST(Actions, SwitchesAndCommandLines) {
  EXPECT_EQ(StripSwitches("x-www-browser -new-window --private"), "x-www-browser");
  EXPECT_EQ(StripSwitches("\"/opt/b/firefox\" -osint -url \"%1\""), "\"/opt/b/firefox\"" + std::string(13, ' ') + "\"%1\"");
  std::string line;
  ASSERT_TRUE(BrowserCommandLine("xdg-open", "www.example.com", &line));
  EXPECT_EQ(line, "xdg-open http://www.example.com");
  ASSERT_TRUE(BrowserCommandLine("xdg-open", "file:///tmp/a b.html", &line));
  EXPECT_EQ(line, "xdg-open \"file:///tmp/a b.html\"");
  ASSERT_TRUE(BrowserCommandLine("xdg-open", "http://x", &line));
  EXPECT_EQ(line, "xdg-open http://x");
  EXPECT_FALSE(BrowserCommandLine("xdg-open", "a\"; rm -rf", &line));
  CallSetting c = ParseCall("MSG400,2");
  EXPECT_EQ(c.kind, "MSG");
  EXPECT_EQ(c.event, 400);
  EXPECT_EQ(c.thread, 2);
  c = ParseCall("HLPHintwell.hlp,Contents");
  EXPECT_EQ(c.helpFile, "Hintwell.hlp");
  EXPECT_EQ(c.topic, "Contents");
  EXPECT_EQ(ParseCall("EXEmvnreg list  ").command, "mvnreg list");
  EXPECT_EQ(HelpTopicPath("C:\\x\\Hintwell.hlp", "Help Tip Text Editing").substr(
                HelpTopicPath("Hintwell.hlp", "x").find("/Hintwell/")),
            "/Hintwell/Help Tip Text Editing.html");
}
