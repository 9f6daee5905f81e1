#include "framework/core/strings.h"

#include <algorithm>

namespace mvn::framework {

namespace {
char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

std::string Clip(std::string_view text) {
  size_t end = text.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1));
}

std::string Left(std::string_view text) {
  size_t start = text.find_first_not_of(' ');
  return std::string(start == std::string_view::npos ? std::string_view() : text.substr(start));
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

size_t InString(std::string_view needle, std::string_view haystack, size_t start) {
  if (start < 1 || needle.empty() || start > haystack.size()) return 0;
  size_t at = haystack.find(needle, start - 1);
  return at == std::string_view::npos ? 0 : at + 1;
}

std::string Sub(std::string_view text, size_t start, size_t length) {
  if (start < 1 || start > text.size()) return std::string();
  return std::string(text.substr(start - 1, length));
}

size_t Len(std::string_view text) { return text.size(); }

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(FoldAscii(a[i])), y = static_cast<unsigned char>(FoldAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace mvn::framework
