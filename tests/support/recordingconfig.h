// A configuration over an INI file that records every read and write the
// module makes through its slots, in order.
#pragma once

#include <string>
#include <vector>

#include "lib/config.h"

namespace deliverytest {

class RecordingConfig : public CCONFIGINI {
 public:
  RecordingConfig(const char* file, const char* section) : CCONFIGINI(file) { OpenSection(section, true); }

  bool GetString(const char* key, CTEXT* string) override {
    reads.push_back(key);
    return CCONFIGINI::GetString(key, string);
  }
  bool GetBool(const char* key, bool* value) override {
    reads.push_back(key);
    return CCONFIGINI::GetBool(key, value);
  }
  bool GetEntryList(const char* key, CSTRINGLIST* list) override {
    reads.push_back(key);
    return CCONFIGINI::GetEntryList(key, list);
  }
  bool PutString(const char* key, const char* text) override {
    if (!m_nested) writes.push_back(std::string(key) + "=" + (text ? text : ""));
    return CCONFIGINI::PutString(key, text);
  }
  // The INI kind writes a bool through its own PutString: one write.
  bool PutBool(const char* key, bool value) override {
    writes.push_back(std::string(key) + "=" + (value ? "true" : "false"));
    m_nested = true;
    bool result = CCONFIGINI::PutBool(key, value);
    m_nested = false;
    return result;
  }

  std::vector<std::string> reads;
  std::vector<std::string> writes;

 private:
  bool m_nested = false;
};

}  // namespace deliverytest
