// INI objects: settings of one named file through the platform's profile
// calls (names without case, values trimmed, first key wins, every other
// line kept byte for byte on a write).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "framework/core/queue.h"

namespace mvn::framework {

class IniFile {
 public:
  IniFile() = default;
  explicit IniFile(std::string fileName) : m_fileName(std::move(fileName)) {}

  void SetFileName(std::string fileName) { m_fileName = std::move(fileName); }
  const std::string& FileName() const { return m_fileName; }

  // The value, "" when the key (or file) is missing.
  std::string Fetch(std::string_view section, std::string_view key) const;
  // The value as a number, def when missing or empty.
  long FetchNumber(std::string_view section, std::string_view key, long def = 0) const;
  // Sets the value. Fails (false) for names or values with line breaks, "="
  // in a key, or an unwritable file.
  bool Update(std::string_view section, std::string_view key, std::string_view value);
  bool DeleteKey(std::string_view section, std::string_view key);
  bool DeleteSection(std::string_view section);

  // A numbered list: countKey holds n, itemPrefix + "1" ... itemPrefix + n
  // the entries. Missing entries read as "".
  std::vector<std::string> FetchList(std::string_view section, std::string_view countKey,
                                     std::string_view itemPrefix) const;
  // The list into the queue: one entry per item, its text in field.
  int FetchQueue(std::string_view section, std::string_view countKey, std::string_view itemPrefix, Queue& queue,
                 std::string_view field) const;
  // Writes the list (count and items; items above the new count removed).
  bool UpdateList(std::string_view section, std::string_view countKey, std::string_view itemPrefix,
                  const std::vector<std::string>& items);

  // The key names of the section in file order, as the profile API returns
  // them into a buffer of bufferSize bytes (names that do not fit are left
  // out, a name never cut inside a UTF-8 character).
  std::vector<std::string> KeyNames(std::string_view section, size_t bufferSize = 32768) const;
  // The section names in file order.
  std::vector<std::string> SectionNames(size_t bufferSize = 32768) const;

 private:
  std::string m_fileName;
};

}  // namespace mvn::framework
