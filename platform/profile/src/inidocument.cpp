#include "platform/profile/src/inidocument.h"

#include <unordered_set>
#include <utility>

namespace mvn::profile {

namespace {

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = FoldAscii(c);
  return folded;
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view a) {
  size_t first = 0;
  while (first < a.size() && IsBlank(a[first])) ++first;
  size_t last = a.size();
  while (last > first && IsBlank(a[last - 1])) --last;
  return a.substr(first, last - first);
}

IniDocument::IniDocument(std::string text) : m_text(std::move(text)) { Parse(); }

void IniDocument::Parse() {
  m_lines.clear();
  m_lineBreak.clear();
  const std::string_view text(m_text);
  size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    // A line ends at LF, CR LF or a bare CR, so that what is appended
    // after a last line ending in CR starts a line of its own.
    size_t brk = text.find_first_of("\r\n", pos);
    if (brk == std::string_view::npos) {
      line.end = text.size();
      line.contentEnd = line.end;
    } else {
      line.contentEnd = brk;
      const bool crlf = text[brk] == '\r' && brk + 1 < text.size() && text[brk + 1] == '\n';
      line.end = brk + (crlf ? 2 : 1);
      if (m_lineBreak.empty()) m_lineBreak = crlf ? "\r\n" : text[brk] == '\r' ? "\r" : "\n";
    }
    pos = line.end;

    size_t start = line.begin;
    // A UTF-8 byte order mark before the first line is no part of it.
    if (start == 0 && text.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
    while (start < line.contentEnd && IsBlank(text[start])) ++start;
    const std::string_view content = text.substr(start, line.contentEnd > start ? line.contentEnd - start : 0);

    if (!content.empty() && content[0] == '[') {
      // The first "]" closes the name: "[S] ; note [x]" is the section S.
      size_t close = content.find(']');
      if (close != std::string_view::npos && close > 0) {
        line.kind = Kind::Section;
        line.name = TrimBlanks(content.substr(1, close - 1));
      }
    } else if (!content.empty() && content[0] != ';') {
      size_t eq = content.find('=');
      if (eq != std::string_view::npos) {
        std::string_view key = TrimBlanks(content.substr(0, eq));
        if (!key.empty()) {
          line.kind = Kind::Key;
          line.name = key;
          size_t v = eq + 1;
          while (v < content.size() && IsBlank(content[v])) ++v;
          line.valueStart = start + v;
          std::string_view value = TrimBlanks(content.substr(v));
          if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
              value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
          }
          // A value ends at a NUL byte: what follows it can never become an
          // entry of its own.
          line.value = value.substr(0, value.find('\0'));
        }
      }
    }
    m_lines.push_back(line);
  }
  if (m_lineBreak.empty()) m_lineBreak = "\r\n";
}

int IniDocument::FindSection(std::string_view name) const {
  for (size_t i = 0; i < m_lines.size(); ++i) {
    if (m_lines[i].kind == Kind::Section && NamesEqual(m_lines[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

int IniDocument::SectionEnd(int header) const {
  size_t i = static_cast<size_t>(header) + 1;
  while (i < m_lines.size() && m_lines[i].kind != Kind::Section) ++i;
  return static_cast<int>(i);
}

int IniDocument::FindKey(int header, std::string_view key) const {
  if (header < 0) return -1;
  const int end = SectionEnd(header);
  for (int i = header + 1; i < end; ++i) {
    if (m_lines[i].kind == Kind::Key && NamesEqual(m_lines[i].name, key)) return i;
  }
  return -1;
}

std::vector<std::string_view> IniDocument::SectionNames() const {
  std::vector<std::string_view> names;
  std::unordered_set<std::string> seen;
  for (const Line& line : m_lines) {
    if (line.kind == Kind::Section && seen.insert(Folded(line.name)).second) names.push_back(line.name);
  }
  return names;
}

std::vector<const IniDocument::Line*> IniDocument::KeyLines(int header) const {
  std::vector<const Line*> keys;
  if (header < 0) return keys;
  std::unordered_set<std::string> seen;
  const int end = SectionEnd(header);
  for (int i = header + 1; i < end; ++i) {
    if (m_lines[i].kind == Kind::Key && seen.insert(Folded(m_lines[i].name)).second) keys.push_back(&m_lines[i]);
  }
  return keys;
}

bool IniDocument::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  std::string text;
  const int header = FindSection(section);
  if (header >= 0) {
    const int found = FindKey(header, key);
    if (found >= 0) {
      // Keep the line up to the value (indentation, the key's spelling, the
      // blanks around "="), replace the rest, keep the line break.
      const Line& line = m_lines[found];
      text.reserve(m_text.size() + value.size());
      text.append(m_text, 0, line.valueStart);
      text.append(value);
      text.append(m_text, line.contentEnd, std::string::npos);
    } else {
      int last = header;
      const int end = SectionEnd(header);
      for (int i = header + 1; i < end; ++i) {
        if (m_lines[i].kind == Kind::Key) last = i;
      }
      const Line& after = m_lines[last];
      text.reserve(m_text.size() + key.size() + value.size() + 4);
      text.append(m_text, 0, after.end);
      if (after.end == after.contentEnd) text.append(m_lineBreak);
      text.append(key);
      text.push_back('=');
      text.append(value);
      text.append(m_lineBreak);
      text.append(m_text, after.end, std::string::npos);
    }
  } else {
    text = m_text;
    if (!m_lines.empty()) {
      const Line& last = m_lines.back();
      if (last.end == last.contentEnd) text.append(m_lineBreak);
      std::string_view content(m_text.data() + last.begin, last.contentEnd - last.begin);
      if (!TrimBlanks(content).empty()) text.append(m_lineBreak);
    }
    text.push_back('[');
    text.append(section);
    text.push_back(']');
    text.append(m_lineBreak);
    text.append(key);
    text.push_back('=');
    text.append(value);
    text.append(m_lineBreak);
  }
  if (text == m_text) return false;
  m_text = std::move(text);
  Parse();
  return true;
}

bool IniDocument::DeleteKey(std::string_view section, std::string_view key) {
  const int header = FindSection(section);
  if (header < 0) return false;
  // Every line of the key goes, so that a duplicate further down does not
  // take its place.
  std::string text;
  size_t copied = 0;
  const int end = SectionEnd(header);
  for (int i = header + 1; i < end; ++i) {
    const Line& line = m_lines[i];
    if (line.kind == Kind::Key && NamesEqual(line.name, key)) {
      text.append(m_text, copied, line.begin - copied);
      copied = line.end;
    }
  }
  if (copied == 0) return false;
  text.append(m_text, copied, std::string::npos);
  m_text = std::move(text);
  Parse();
  return true;
}

bool IniDocument::DeleteSection(std::string_view section) {
  std::string text;
  size_t copied = 0;
  bool changed = false;
  for (size_t i = 0; i < m_lines.size(); ++i) {
    if (m_lines[i].kind != Kind::Section || !NamesEqual(m_lines[i].name, section)) continue;
    const int end = SectionEnd(static_cast<int>(i));
    text.append(m_text, copied, m_lines[i].begin - copied);
    copied = m_lines[end - 1].end;
    changed = true;
    i = static_cast<size_t>(end) - 1;
  }
  if (!changed) return false;
  text.append(m_text, copied, std::string::npos);
  m_text = std::move(text);
  Parse();
  return true;
}

}  // namespace mvn::profile
