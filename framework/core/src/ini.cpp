#include "framework/core/ini.h"

#include <cstdlib>

#include "framework/core/errors.h"
#include "framework/core/strings.h"
#include "platform/profile/profile.h"

namespace mvn::framework {

namespace {
// Values longer than this are read in full by growing the buffer.
constexpr DWORD kFirstBuffer = 1024;
}  // namespace

std::string IniFile::Fetch(std::string_view section, std::string_view key) const {
  std::string s(section), k(key);
  std::string buffer(kFirstBuffer, '\0');
  for (;;) {
    DWORD got = GetPrivateProfileStringA(s.c_str(), k.c_str(), "", buffer.data(), static_cast<DWORD>(buffer.size()),
                                         m_fileName.c_str());
    if (got + 1 < buffer.size() || buffer.size() >= (1u << 24)) {
      buffer.resize(got);
      return buffer;
    }
    buffer.assign(buffer.size() * 4, '\0');
  }
}

long IniFile::FetchNumber(std::string_view section, std::string_view key, long def) const {
  std::string v = Clip(Left(Fetch(section, key)));
  if (v.empty()) return def;
  return std::strtol(v.c_str(), nullptr, 10);
}

bool IniFile::Update(std::string_view section, std::string_view key, std::string_view value) {
  std::string s(section), k(key), v(value);
  bool ok = WritePrivateProfileStringA(s.c_str(), k.c_str(), v.c_str(), m_fileName.c_str());
  if (ok)
    ClearError();
  else if (GetLastError() == ERROR_INVALID_PARAMETER)
    SetError(BadNameError, m_fileName);
  else
    SetError(GetLastError() == ERROR_ACCESS_DENIED ? AccessDeniedError : FileSystemError, m_fileName);
  return ok;
}

bool IniFile::DeleteKey(std::string_view section, std::string_view key) {
  std::string s(section), k(key);
  return WritePrivateProfileStringA(s.c_str(), k.c_str(), nullptr, m_fileName.c_str());
}

bool IniFile::DeleteSection(std::string_view section) {
  std::string s(section);
  return WritePrivateProfileStringA(s.c_str(), nullptr, nullptr, m_fileName.c_str());
}

std::vector<std::string> IniFile::FetchList(std::string_view section, std::string_view countKey,
                                            std::string_view itemPrefix) const {
  std::vector<std::string> items;
  long n = FetchNumber(section, countKey, 0);
  for (long i = 1; i <= n && i <= 100000; ++i)
    items.push_back(Fetch(section, std::string(itemPrefix) + std::to_string(i)));
  return items;
}

int IniFile::FetchQueue(std::string_view section, std::string_view countKey, std::string_view itemPrefix, Queue& queue,
                        std::string_view field) const {
  std::vector<std::string> items = FetchList(section, countKey, itemPrefix);
  for (const std::string& item : items) {
    queue.Buffer().Clear();
    queue.Buffer().Set(field, item);
    queue.Add();
  }
  ClearError();
  return static_cast<int>(items.size());
}

bool IniFile::UpdateList(std::string_view section, std::string_view countKey, std::string_view itemPrefix,
                         const std::vector<std::string>& items) {
  long old = FetchNumber(section, countKey, 0);
  for (size_t i = 0; i < items.size(); ++i)
    if (!Update(section, std::string(itemPrefix) + std::to_string(i + 1), items[i])) return false;
  for (long i = static_cast<long>(items.size()) + 1; i <= old && i <= 100000; ++i)
    DeleteKey(section, std::string(itemPrefix) + std::to_string(i));
  return Update(section, countKey, std::to_string(items.size()));
}

namespace {
std::vector<std::string> SplitList(const std::string& buffer, DWORD got) {
  std::vector<std::string> names;
  size_t start = 0;
  for (size_t i = 0; i < got; ++i)
    if (buffer[i] == '\0') {
      if (i > start) names.push_back(buffer.substr(start, i - start));
      start = i + 1;
    }
  if (start < got) names.push_back(buffer.substr(start, got - start));
  return names;
}
}  // namespace

std::vector<std::string> IniFile::KeyNames(std::string_view section, size_t bufferSize) const {
  if (bufferSize < 2) return {};
  std::string s(section);
  std::string buffer(bufferSize, '\0');
  DWORD got = GetPrivateProfileStringA(s.c_str(), nullptr, "", buffer.data(), static_cast<DWORD>(bufferSize),
                                       m_fileName.c_str());
  std::vector<std::string> names = SplitList(buffer, got);
  // A list that did not fit ends with a cut name: it is left out.
  if (got == bufferSize - 2 && !names.empty()) {
    std::string full = std::string(names.back());
    bool complete = false;
    std::string big(bufferSize * 2 + 65536, '\0');
    DWORD all = GetPrivateProfileStringA(s.c_str(), nullptr, "", big.data(), static_cast<DWORD>(big.size()),
                                         m_fileName.c_str());
    std::vector<std::string> every = SplitList(big, all);
    if (names.size() <= every.size() && every[names.size() - 1] == full) complete = true;
    if (!complete) names.pop_back();
  }
  ClearError();
  return names;
}

std::vector<std::string> IniFile::SectionNames(size_t bufferSize) const {
  std::string buffer(bufferSize, '\0');
  DWORD got =
      GetPrivateProfileStringA(nullptr, nullptr, "", buffer.data(), static_cast<DWORD>(bufferSize), m_fileName.c_str());
  return SplitList(buffer, got);
}

}  // namespace mvn::framework
