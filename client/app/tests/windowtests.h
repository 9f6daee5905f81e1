// What the window tests of the client program share: the folder their
// screenshots go to and the dictionary and book a send window opens on.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "client/app/procedures.h"
#include "framework/core/ini.h"

namespace mvntest {

// <build>/test-output/client-app[/<sub>], made when missing.
inline std::string ClientAppOutputDir(const std::string& sub = std::string()) {
  const char* root = std::getenv("MVN_TEST_BINARY_DIR");
  std::filesystem::path dir = std::filesystem::path(root && *root ? root : ".") / "test-output" / "client-app";
  if (!sub.empty()) dir /= sub;
  std::filesystem::create_directories(dir);
  return dir.string();
}

// The start-up steps before the send window: the dictionary, the books of
// ini, the charge account and the current book, into ctx. Fails the test
// when one of them does.
inline void OpenSendWindowBook(mvn::client::MainContext& ctx, mvn::framework::IniFile& ini) {
  mvn::client::Dictionary& d = mvn::client::InitDictionary();
  ctx.dictionary = &d;
  ctx.ini = &ini;
  ctx.iniPath = ini.FileName();
  ctx.currentBook = mvn::client::LoadAddressBooks(d, ini, nullptr, nullptr) + 1;
  ASSERT_TRUE(mvn::client::SetupChargeAccount(d, ini, &ctx.chargeTemporary, nullptr));
  ASSERT_EQ(d.OpenAddressBook(), 0);
}

}  // namespace mvntest
