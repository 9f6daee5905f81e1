#include "helptips/markup.h"

#include <cstdio>

#include "framework/core/strings.h"

namespace mvn::helptips {
namespace fw = mvn::framework;

namespace {

size_t CharLen(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
  return i + n <= s.size() ? n : 1;
}

// Looks for ">" within limit characters from start; returns the index of
// ">" or npos.
size_t FindClose(std::string_view s, size_t start, size_t limit) {
  size_t i = start;
  for (size_t count = 0; i < s.size() && count <= limit; ++count) {
    if (s[i] == '>') return i;
    i += CharLen(s, i);
  }
  return std::string_view::npos;
}

struct Parser {
  MarkupResult result;
  int strings = 0, https = 0, lnks = 0, regions = 0;

  void Add(std::string name, std::string type, std::string text, int line) {
    int number = static_cast<int>(result.elements.size()) + 1;
    result.elements.push_back({std::move(name), std::move(type), std::move(text), number, line});
  }
  void String(std::string text, int line) {
    char name[16];
    std::snprintf(name, sizeof name, "S%3d", ++strings);
    Add(name, "String", std::move(text), line);
  }

  void ParseLine(std::string_view s, int line) {
    if (s.find("<HR>") != std::string_view::npos) {
      Add("Line", "Line", "", line);
      return;
    }
    if (fw::Clip(s).empty()) {
      String("", line);
      return;
    }
    std::string pending;
    size_t i = 0;
    while (i < s.size()) {
      char c = s[i];
      if (c == '<' && i + 1 < s.size() && s[i + 1] == '<') {
        pending += '<';
        i += 2;
        continue;
      }
      if (c == '|') {
        String(pending, line);
        pending.clear();
        ++i;
        continue;
      }
      if (c != '<') {
        size_t n = CharLen(s, i);
        pending.append(s.substr(i, n));
        i += n;
        continue;
      }
      if (!pending.empty()) {
        String(pending, line);
        pending.clear();
      }
      char letter = i + 1 < s.size() ? static_cast<char>(std::toupper(static_cast<unsigned char>(s[i + 1]))) : 0;
      bool colon = i + 2 < s.size() && s[i + 2] == ':';
      if (letter == 'B' || letter == 'T') {
        size_t close = FindClose(s, i + 1, 4);
        if (close == std::string_view::npos) {
          // Left out up to its ">" (or the end of the line).
          result.errorLines.push_back(line);
          size_t end = s.find('>', i + 1);
          i = end == std::string_view::npos ? s.size() : end + 1;
          continue;
        }
        Add(std::string(s.substr(i + 1, close - i - 1)), letter == 'B' ? "BUTTON" : "BULLET", "", line);
        i = close + 1;
      } else if (letter == 'H' || letter == 'W' || letter == 'F' || colon) {
        size_t close = FindClose(s, i + 1, 80);
        if (close == std::string_view::npos) {
          result.errorLines.push_back(line);
          i = s.size();
          continue;
        }
        Add("HTTP" + std::to_string(++https), "HTTP", std::string(s.substr(i + 1, close - i - 1)), line);
        Add("Region" + std::to_string(++regions), "REGION", "", line);
        i = close + 1;
      } else if (letter == 'L') {
        size_t start = std::min(s.size(), i + 5);
        size_t close = s.find('>', i + 1);
        if (close != std::string_view::npos && close < start) start = close;  // "<LNK>": empty text
        close = FindClose(s, start, 80);
        if (close == std::string_view::npos) {
          result.errorLines.push_back(line);
          i = s.size();
          continue;
        }
        Add("LNK" + std::to_string(++lnks), "LNK", std::string(s.substr(start, close - start)), line);
        Add("Region" + std::to_string(++regions), "REGION", "", line);
        i = close + 1;
      } else {
        ++i;  // the "<" is dropped; what follows is text
      }
    }
    if (!fw::Clip(pending).empty()) String(pending, line);
  }
};

}  // namespace

MarkupResult TipParseFormat(const std::vector<std::string>& lines) {
  Parser p;
  for (size_t n = 0; n < lines.size(); ++n) p.ParseLine(lines[n], static_cast<int>(n) + 1);
  return std::move(p.result);
}

std::vector<std::string> SplitTipLines(std::string_view text, int width, const TextMeasure& measure) {
  std::vector<std::string> hard;
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      hard.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  hard.push_back(cur);
  while (hard.size() > 1 && hard.back().empty()) hard.pop_back();

  std::vector<std::string> out;
  for (const std::string& line : hard) {
    if (measure(line) <= width) {
      out.push_back(line);
      continue;
    }
    // Words: runs up to a blank outside a tag, with their trailing blanks.
    std::vector<std::string> words;
    std::string w;
    bool inTag = false;
    for (size_t i = 0; i < line.size(); ++i) {
      char c = line[i];
      if (!inTag && c == '<' && i + 1 < line.size() && line[i + 1] == '<') {
        w += "<<";
        ++i;
        continue;
      }
      if (!inTag && c == '<') inTag = true;
      else if (inTag && c == '>') inTag = false;
      w += c;
      if (!inTag && c == ' ' && (i + 1 >= line.size() || line[i + 1] != ' ')) {
        words.push_back(w);
        w.clear();
      }
    }
    if (!w.empty()) words.push_back(w);
    std::string row;
    for (const std::string& word : words) {
      if (!row.empty() && measure(fw::Clip(row + word)) > width) {
        out.push_back(fw::Clip(row));
        row.clear();
      }
      row += word;
    }
    if (!row.empty()) out.push_back(fw::Clip(row));
  }
  return out;
}

}  // namespace mvn::helptips
