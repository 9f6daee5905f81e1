// The tip markup: tip text → element list (pure).
//
// Per line: a line holding "<HR>" is one "Line" element; a blank line one
// empty "String"; otherwise text collects into strings, "<<" is a literal
// "<", "|" ends the pending string (also an empty one), and "<" starts a
// tag chosen by its letter: B button, T bullet (names of at most 4
// characters, e.g. "B1"), H/W/F or a ":" as second character a web link
// ("HTTP" + region), L a link to another tip ("LNK" + region: the text after
// the first five characters, "<LNK:" in "<LNK:Next tip>"); any other letter
// drops the "<". A tag without ">" (within 4 characters for buttons and
// bullets, 80 for links, or by the end of the line) is reported with its
// line number and left out.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mvn::helptips {

struct MarkupElement {
  std::string name;  // "S  1", "B1", "HTTP1", "LNK1", "Region1"
  std::string type;  // "String", "Line", "BUTTON", "BULLET", "HTTP", "LNK", "REGION"
  std::string text;
  int number = 0;  // list size + 1 when created
  int line = 0;    // 1-based text line
  bool operator==(const MarkupElement&) const = default;
};

struct MarkupResult {
  std::vector<MarkupElement> elements;
  std::vector<int> errorLines;  // lines with a tag not completed
};

inline constexpr const char* kMarkupErrorText = "Control not completed|Line:";
inline constexpr const char* kMarkupErrorTitle = "Hintwell - Control Formatting";

MarkupResult TipParseFormat(const std::vector<std::string>& lines);

// Width of a text in window units (injected: the view measures with its
// font, tests with a fixed pitch).
using TextMeasure = std::function<int(std::string_view text)>;

// Splits a tip text into lines: at line breaks (CR LF, LF or CR), then
// wrapped at blanks to width; a tag ("<...>", but not "<<") is never split,
// and a word wider than the line stands alone on its line.
std::vector<std::string> SplitTipLines(std::string_view text, int width, const TextMeasure& measure);

}  // namespace mvn::helptips
