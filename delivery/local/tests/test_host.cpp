// dlvlocal as a host loads it: a program with its own copy of the library
// loads the real module, hands it its configuration object and calls the
// five exports by name.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "delivery/exports.h"
#include "lib/config.h"
#include "platform/module/module.h"
#include "tests/support/exports.h"
#include "tests/support/mapped.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

namespace fs = std::filesystem;
using mvntest::Mapped;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

using InitializeFn = DELIVERY_INITIALIZE;
using TerminateFn = DELIVERY_TERMINATE;
using ConfigureFn = DELIVERY_CONFIGURE;
using SendFileFn = DELIVERY_SENDFILE;
using GetLastResultFn = DELIVERY_GETLASTRESULT;

std::string RealModulePath() { return fs::canonical(MVN_DLVLOCAL_PATH).string(); }

struct Module {
  HMODULE handle = nullptr;
  InitializeFn initialize = nullptr;
  TerminateFn terminate = nullptr;
  ConfigureFn configure = nullptr;
  SendFileFn sendFile = nullptr;
  GetLastResultFn getLastResult = nullptr;

  bool Load() {
    handle = LoadLibraryA(MVN_DLVLOCAL_PATH);
    if (!handle) return false;
    initialize = reinterpret_cast<InitializeFn>(GetProcAddress(handle, "Initialize"));
    terminate = reinterpret_cast<TerminateFn>(GetProcAddress(handle, "Terminate"));
    configure = reinterpret_cast<ConfigureFn>(GetProcAddress(handle, "Configure"));
    sendFile = reinterpret_cast<SendFileFn>(GetProcAddress(handle, "SendFile"));
    getLastResult = reinterpret_cast<GetLastResultFn>(GetProcAddress(handle, "GetLastResult"));
    return initialize && terminate && configure && sendFile && getLastResult;
  }
};

}  // namespace

TEST(DlvlocalModule, ExportsExactlyTheFiveOperations) {
  std::set<std::string> names;
  std::string error;
  ASSERT_TRUE(mvntest::ExportedNames(RealModulePath(), &names, &error)) << error;
  EXPECT_EQ(names, mvntest::DeliveryExportNames());
}

TEST(DlvlocalModule, TheHostsConfigurationFillsTheModulesTextsInTheModulesHeap) {
  TempDir dir;
  std::string name(300, 'n');
  std::string out = dir / std::string(100, 'o');
  WriteFile(dir / "send.ini", "[MVNCSEND]\r\nYourName=" + name + "\r\nOutputLocation=" + out +
                                  "\r\nSenderDefaults=yes\r\n");
  WriteFile(dir / "job", "!MVN::MVN\r\n!MVN-END\r\n");
  Module module;
  ASSERT_TRUE(module.Load());
  SIZE_T hostBlocks = HeapBlockCount(CXXHEAP::HeapHandle());
  void* record = nullptr;
  {
    CCONFIGINI config((dir / "send.ini").c_str());
    ASSERT_TRUE(config.OpenSection("MVNCSEND", false));
    record = module.initialize(&config);
    ASSERT_NE(record, nullptr);
  }
  EXPECT_EQ(HeapBlockCount(CXXHEAP::HeapHandle()), hostBlocks) << "no buffer of the module is in the host's heap";
  ASSERT_TRUE(module.sendFile(record, (dir / "job").c_str()));
  auto it = fs::directory_iterator(out);
  ASSERT_NE(it, fs::directory_iterator());
  EXPECT_EQ(ReadFile(it->path().string()), "!MVN::MVN\r\nSENDER-DEFAULTS=yes\r\nSENDER-TYPE=LOCAL\r\nSENDER-NAME=" +
                                                name + "\r\n!MVN::MVN\r\n!MVN-END\r\n!MVN-END\r\n");
  EXPECT_EQ(module.getLastResult(record), nullptr);
  // The module frees its grown texts into its own heap (a free into the
  // wrong heap would raise the library exception).
  EXPECT_EQ(module.terminate(record), nullptr);
  EXPECT_TRUE(mvntest::Heap().notifications.empty());
  EXPECT_TRUE(FreeLibrary(module.handle));
}

TEST(DlvlocalModule, AfterAFailedSendTheModuleReallyUnloadsAndLoadsAfresh) {
  TempDir dir;
  WriteFile(dir / "send.ini", "[MVNCSEND]\r\nYourName=Ann\r\n");
  std::string path = RealModulePath();
  for (int round = 0; round < 2; ++round) {
    Module module;
    ASSERT_TRUE(module.Load());
    EXPECT_TRUE(Mapped(path));
    CCONFIGINI config((dir / "send.ini").c_str());
    ASSERT_TRUE(config.OpenSection("MVNCSEND", false));
    void* record = module.initialize(&config);
    ASSERT_NE(record, nullptr);
    EXPECT_FALSE(module.sendFile(record, (dir / "job").c_str())) << "no OutputLocation: every send fails";
    EXPECT_STREQ(module.getLastResult(record), "OutputLocation is not set: no folder to deliver into");
    EXPECT_EQ(module.terminate(record), nullptr);
    EXPECT_TRUE(FreeLibrary(module.handle));
    EXPECT_FALSE(Mapped(path)) << "the module's detach ran and it left the process";
  }
}
