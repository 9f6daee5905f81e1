// What the client core tests hand the request writer in place of message
// boxes, and the temporary folder the writer uses.
#pragma once

#include <string>
#include <vector>

#include "client/core/request.h"
#include "platform/kernel/win32.h"

namespace clienttest {

// Answers from a script; every text asked or told is kept.
class ScriptedPrompter : public mvn::client::Prompter {
 public:
  void Tell(const std::string& text) override { told.push_back(text); }
  bool AskContinue(const std::string& text) override {
    asked.push_back(text);
    return goOn;
  }
  bool AskWaitAgain(const std::string& text) override {
    waits.push_back(text);
    return waitAgain-- > 0;
  }
  std::vector<std::string> told, asked, waits;
  bool goOn = true;   // the answer to every "continue?" question
  int waitAgain = 0;  // how many "wait again?" questions are answered yes
};

// The process's temporary folder (GetTempPathA), ending in "/".
inline std::string Temp() {
  char buffer[MAX_PATH];
  DWORD n = GetTempPathA(sizeof buffer, buffer);
  return std::string(buffer, n);
}

}  // namespace clienttest
