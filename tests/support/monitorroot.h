// Test helper: a test root for the whole run with a port monitor loaded in
// it, kept loaded as the spooler keeps its monitors (the registry layer's
// state inside the module does not survive an unload).
#pragma once

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/kernel/win32.h"
#include "tests/support/tempdir.h"

namespace mvntest {

// `*root` points at the root while the run lasts; when `boxLog` names a
// file, the message-box log is written there under the root.
class MonitorRootEnvironment : public ::testing::Environment {
 public:
  MonitorRootEnvironment(const char* module, TestRoot** root, const char* boxLog = nullptr)
      : m_module(module), m_root(root), m_boxLog(boxLog) {}
  void SetUp() override {
    *m_root = new TestRoot;
    if (m_boxLog) setenv("MVN_MESSAGEBOX_LOG", (**m_root / m_boxLog).c_str(), 1);
    ASSERT_NE(LoadLibraryA(m_module), nullptr);
  }
  void TearDown() override {
    delete *m_root;
    *m_root = nullptr;
  }

 private:
  const char* m_module;
  TestRoot** m_root;
  const char* m_boxLog;
};

}  // namespace mvntest
