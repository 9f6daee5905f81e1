// Test support: a request file of the client's shape (one passthrough block
// with one target) carrying the given "!ExtAttachment" lines.
#pragma once

#include <string>
#include <vector>

namespace mvntest {

inline std::string SampleRequest(const std::vector<std::string>& attachmentLines) {
  std::string text =
      "!MVN - DASHPOST V5.0\r\n\r\n!PASSTHROUGH\r\nFrom:Ann Smith\r\nUserId:ann@desk.example\r\n\r\n"
      "!TARGET\r\nDestination:+44 20 7946 0000\r\nTo:Bob Jones\r\n\r\n!PASSTHROUGH-END\r\n";
  for (const std::string& line : attachmentLines) text += line + "\r\n";
  return text + "!MVN-END\r\n";
}

}  // namespace mvntest
