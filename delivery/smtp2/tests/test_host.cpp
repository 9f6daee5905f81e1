// dlvsmtp2 as the send client loads it: a program with its own copy of the
// library loads the real module (which starts Winsock itself), hands it an
// INI configuration and sends a job to a real mail server.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "delivery/exports.h"
#include "lib/config.h"
#include "platform/module/module.h"
#include "tests/support/exports.h"
#include "tests/support/network.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using mvntest::ReadFile;
using mvntest::TempDir;
using mvntest::WriteFile;

namespace {

using InitializeFn = DELIVERY_INITIALIZE;
using TerminateFn = DELIVERY_TERMINATE;
using SendFileFn = DELIVERY_SENDFILE;
using GetLastResultFn = DELIVERY_GETLASTRESULT;

// The module's exports by name (null where one is missing).
struct Exports {
  InitializeFn initialize;
  TerminateFn terminate;
  SendFileFn sendFile;
  GetLastResultFn getLastResult;
};

Exports Bind(HMODULE module) {
  return {reinterpret_cast<InitializeFn>(GetProcAddress(module, "Initialize")),
          reinterpret_cast<TerminateFn>(GetProcAddress(module, "Terminate")),
          reinterpret_cast<SendFileFn>(GetProcAddress(module, "SendFile")),
          reinterpret_cast<GetLastResultFn>(GetProcAddress(module, "GetLastResult"))};
}

TEST(Dlvsmtp2Module, ExportsExactlyTheFiveOperations) {
  std::set<std::string> names;
  std::string error;
  ASSERT_TRUE(mvntest::ExportedNames(fs::canonical(MVN_DLVSMTP2_PATH).string(), &names, &error)) << error;
  EXPECT_EQ(names, mvntest::DeliveryExportNames());
}

TEST(Dlvsmtp2Module, SendsAJobFromTheHostsSettings) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  TempDir dir, store;
  mvntest::PeerProcess server("aiosmtpd_store.py", {"--port", "25", "--store", store.str()});
  ASSERT_TRUE(server.ready()) << server.output();

  std::string ini = dir / "MVNCSEND.INI";
  std::string log = dir / "smtp.log";
  WriteFile(ini, "[MVNCSEND]\r\nSMTPServer=localhost\r\nSMTPSendTo=fax@server.example\r\n"
                 "SMTPSentFrom=bob@desk.example\r\nSenderDefaults=true\r\nSMTPLogFile=" + log + "\r\n");
  std::string job = dir / "job.txt";
  WriteFile(job, "!MVN::MVN\r\nSENDER-TIME=00000000\r\n!MVN-END\r\n");

  HMODULE module = LoadLibraryA(MVN_DLVSMTP2_PATH);
  ASSERT_NE(module, nullptr);
  auto [initialize, terminate, sendFile, getLastResult] = Bind(module);
  ASSERT_TRUE(initialize && terminate && sendFile && getLastResult);
  void* record = nullptr;
  {
    CCONFIGINI config(ini.c_str());
    ASSERT_TRUE(config.OpenSection("MVNCSEND", false));
    record = initialize(&config);
  }
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(sendFile(record, job.c_str()));
  EXPECT_EQ(getLastResult(record), nullptr);
  EXPECT_TRUE(fs::exists(job));  // the host deletes the job, not the module
  EXPECT_EQ(terminate(record), nullptr);
  EXPECT_TRUE(FreeLibrary(module));

  std::string output;
  EXPECT_EQ(mvntest::RunTool("check_mail.py", {store / "1.eml", job, "--to", "fax@server.example", "--from",
                                               "bob@desk.example", "--sender-defaults", "yes"},
                             &output),
            0)
      << output;
  EXPECT_NE(ReadFile(log).find("C: QUIT"), std::string::npos);
}

TEST(Dlvsmtp2Module, UnreachableServerFailsWithItsReason) {
  if (!mvntest::PrivateNetworkReady()) GTEST_SKIP() << mvntest::PrivateNetworkReason();
  TempDir dir;
  std::string ini = dir / "MVNCSEND.INI";
  WriteFile(ini, "[MVNCSEND]\r\nSMTPServer=127.0.0.1\r\nSMTPSendTo=a@b\r\nSMTPSentFrom=c@d\r\n");
  std::string job = dir / "job.txt";
  WriteFile(job, "x");
  HMODULE module = LoadLibraryA(MVN_DLVSMTP2_PATH);
  ASSERT_NE(module, nullptr);
  auto [initialize, terminate, sendFile, getLastResult] = Bind(module);
  CCONFIGINI config(ini.c_str());
  ASSERT_TRUE(config.OpenSection("MVNCSEND", false));
  void* record = initialize(&config);
  EXPECT_FALSE(sendFile(record, job.c_str()));
  // The reason crosses the module boundary whole.
  ASSERT_NE(getLastResult(record), nullptr);
  EXPECT_STREQ(getLastResult(record),
               "cannot connect to port 25 of the mail server 127.0.0.1: WSAConnect: Connection refused "
               "(WSAECONNREFUSED)");
  EXPECT_EQ(terminate(record), nullptr);
  EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
