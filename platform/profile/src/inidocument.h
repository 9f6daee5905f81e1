// The text of one INI file split into lines, with the edits the profile API
// makes. Edits work on the text itself, so every line that is not changed
// stays byte for byte as it was.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mvn::profile {

// True when a and b are equal with ASCII letters folded.
bool NamesEqual(std::string_view a, std::string_view b);
// a without leading and trailing blanks and TABs.
std::string_view TrimBlanks(std::string_view a);

class IniDocument {
 public:
  enum class Kind { Other, Section, Key };
  struct Line {
    size_t begin = 0;       // first byte of the line
    size_t contentEnd = 0;  // end of the line without its line break
    size_t end = 0;         // end of the line with its line break
    Kind kind = Kind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed, one pair of quotes removed
    size_t valueStart = 0;   // where an updated value is written (key lines)
  };

  explicit IniDocument(std::string text);
  IniDocument(const IniDocument&) = delete;
  IniDocument& operator=(const IniDocument&) = delete;

  const std::string& Text() const { return m_text; }
  const std::vector<Line>& Lines() const { return m_lines; }

  // Index of the header line of the first section called name, or -1.
  int FindSection(std::string_view name) const;
  // Index of the line after the section that starts at header: the next
  // section header or the number of lines.
  int SectionEnd(int header) const;
  // Index of the first key line called key in the section at header, or -1.
  int FindKey(int header, std::string_view key) const;

  // Section names, each once (first spelling), in file order.
  std::vector<std::string_view> SectionNames() const;
  // The first key line of each key name in the section at header
  // (header < 0: none), in file order.
  std::vector<const Line*> KeyLines(int header) const;

  // Edits; each rebuilds the text and the lines. Return whether the text
  // changed.
  bool SetValue(std::string_view section, std::string_view key, std::string_view value);
  bool DeleteKey(std::string_view section, std::string_view key);
  bool DeleteSection(std::string_view section);

  // The line break this file uses: that of its first line, CR LF for a file
  // without any.
  const std::string& LineBreak() const { return m_lineBreak; }

 private:
  void Parse();

  std::string m_text;
  std::vector<Line> m_lines;
  std::string m_lineBreak;
};

}  // namespace mvn::profile
