// The heap object, the exit list, static objects, the library exception and
// the Win32 failure reporter.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "lib/cxxlib.h"
#include "lib/stringlist.h"
#include "lib/tests/testsupport.h"
#include "platform/kernel/handles.h"
#include "tests/support/tempdir.h"
#include "tests/support/testheap.h"

extern char** environ;

namespace {

using mvntest::ExpectLibraryException;
using mvntest::Heap;
using mvntest::RecordedNotification;

// A static object of this test binary, built by the static-constructor
// table when the library starts and destroyed through the exit list.
struct Probe {
  Probe(int a, const char* b) : number(a), text(b) {}
  ~Probe() { number = -1; }
  int number;
  CTEXTBUF16 text;
};
MVN_STATIC_OBJECT(Probe, g_probe, 42, "built");

std::vector<RecordedNotification> NotificationsWithId(DWORD id) {
  std::vector<RecordedNotification> found;
  for (const auto& n : Heap().notifications)
    if (n.id == id) found.push_back(n);
  return found;
}


// Some behaviour exists once per process (the first library fault is
// notified, the exit list starts empty), so it is checked in a fresh run of
// this binary that runs one test only.
constexpr const char* kFreshProcessVariable = "MVN_LIBTEST_FRESH_PROCESS";

bool InFreshProcess() { return std::getenv(kFreshProcessVariable) != nullptr; }

int RunInFreshProcess(const std::string& test, std::string* output) {
  mvntest::TempDir dir;
  std::string outPath = dir / "output.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::string filter = "--gtest_filter=" + test;
  char self[] = "/proc/self/exe";
  char alsoDisabled[] = "--gtest_also_run_disabled_tests";
  char* argv[] = {self, filter.data(), alsoDisabled, nullptr};
  setenv(kFreshProcessVariable, "1", 1);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, self, &actions, nullptr, argv, environ);
  unsetenv(kFreshProcessVariable);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1000;
  int status = 0;
  waitpid(pid, &status, 0);
  *output = mvntest::ReadFile(outPath);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return -WTERMSIG(status);
}

void ExpectFreshProcessPasses(const std::string& test) {
  std::string output;
  int code = RunInFreshProcess(test, &output);
  EXPECT_EQ(code, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

// ---------------------------------------------------------------------------
// Heap object

TEST(HeapObject, NoBlockIsSizeZeroAndFreesNothing) {
  HANDLE heap = CXXHEAP::HeapHandle();
  SIZE_T before = HeapBlockCount(heap);
  EXPECT_EQ(g_pXXHeap->Size(nullptr), 0u);
  g_pXXHeap->Free(nullptr);
  FreeMemory(nullptr);
  EXPECT_EQ(HeapBlockCount(heap), before);
}

TEST(HeapObject, AllocZeroZeroesNewBlocksAndGrowthKeepingContents) {
  HANDLE heap = CXXHEAP::HeapHandle();
  SIZE_T before = HeapBlockCount(heap);
  auto* block = static_cast<unsigned char*>(g_pXXHeap->AllocZero(10, nullptr));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(HeapBlockCount(heap), before + 1);
  EXPECT_EQ(g_pXXHeap->Size(block), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(block[i], 0) << i;
  std::memset(block, 0xAB, 10);
  block = static_cast<unsigned char*>(g_pXXHeap->AllocZero(40, block));
  EXPECT_EQ(g_pXXHeap->Size(block), 40u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(block[i], 0xAB) << i;
  for (int i = 10; i < 40; ++i) EXPECT_EQ(block[i], 0) << i;
  EXPECT_EQ(HeapBlockCount(heap), before + 1);
  FreeMemory(block);
  EXPECT_EQ(HeapBlockCount(heap), before);
}

TEST(HeapObject, ForeignOrFreedBlocksRaiseTheLibraryException) {
  int local = 0;
  ExpectLibraryException([&] { g_pXXHeap->Free(&local); });
  ExpectLibraryException([&] { g_pXXHeap->Size(&local); });
  void* block = g_pXXHeap->AllocZero(16, nullptr);
  g_pXXHeap->Free(block);
  ExpectLibraryException([&] { g_pXXHeap->Free(block); });
  ExpectLibraryException([&] { g_pXXHeap->Size(block); });
}

TEST(HeapObject, PureSlotsRaiseTheLibraryException) {
  CXXHEAP plain;
  ExpectLibraryException([&] { plain.Notify(NOTIFY_EXCEPTION, "a", "b", "c"); });
  ExpectLibraryException([&] { plain.Report(nullptr, nullptr, nullptr, NOTIFY_EXCEPTION, "a", "b", "c"); });
  ExpectLibraryException([] { LibraryPureCall(); });
}

TEST(HeapObject, LibraryStateIsKeptOutsideTheObject) {
  // The test entry started the library on the object's storage before its
  // constructor ran; the heap and the pointer must have survived that.
  EXPECT_NE(CXXHEAP::HeapHandle(), nullptr);
  EXPECT_EQ(g_pXXHeap, static_cast<CXXHEAP*>(&Heap()));
  EXPECT_EQ(CXXHEAP::ModuleHandle(), GetModuleHandleA(nullptr));
}

// ---------------------------------------------------------------------------
// Library exception: NOTIFY_EXCEPTION once per process

TEST(FreshProcess, DISABLED_LibraryErrorNotifiesOnce) {
  if (!InFreshProcess()) GTEST_SKIP() << "runs in a fresh process only";
  Heap().notifications.clear();
  int local = 0;
  ExpectLibraryException([&] { g_pXXHeap->Free(&local); });
  auto first = NotificationsWithId(NOTIFY_EXCEPTION);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].p1, "$CXXLIB");
  EXPECT_EQ(first[0].p2, "217");
  EXPECT_EQ(first[0].p3, "");

  // Later faults of other kinds raise without a second notification.
  ExpectLibraryException([&] { g_pXXHeap->Size(&local); });
  ExpectLibraryException([] { RaiseLibraryError("StringListClasses", 84); });
  CSTRINGLIST list;
  ExpectLibraryException([&] { list.Add(nullptr); });
  EXPECT_EQ(NotificationsWithId(NOTIFY_EXCEPTION).size(), 1u);
}

TEST(LibraryError, FirstFaultIsNotifiedAndLaterOnesAreNot) {
  ExpectFreshProcessPasses("FreshProcess.DISABLED_LibraryErrorNotifiesOnce");
}

TEST(FreshProcess, DISABLED_PureCallIsNotifiedAsLine23) {
  if (!InFreshProcess()) GTEST_SKIP() << "runs in a fresh process only";
  Heap().notifications.clear();
  CSTRINGLISTBASE base;
  ExpectLibraryException([&] { base.Add("x"); });
  auto found = NotificationsWithId(NOTIFY_EXCEPTION);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].p1, "$CXXLIB");
  EXPECT_EQ(found[0].p2, "23");
}

TEST(LibraryError, PureCallIsNotifiedAsLine23) {
  ExpectFreshProcessPasses("FreshProcess.DISABLED_PureCallIsNotifiedAsLine23");
}

// A heap object that writes every notification to standard error, so a
// process that aborts still leaves its notifications behind.
class PrintingHeap : public CXXHEAP {
 public:
  void Report(void*, NOTIFYEXPANDER, void*, DWORD id, const char* p1, const char* p2, const char* p3) override {
    std::fprintf(stderr, "notification %#x [%s] [%s] [%s]\n", static_cast<unsigned>(id), p1 ? p1 : "",
                 p2 ? p2 : "", p3 ? p3 : "");
    std::fflush(stderr);
  }
  void Notify(DWORD id, const char* p1, const char* p2, const char* p3) override {
    Report(nullptr, nullptr, nullptr, id, p1, p2, p3);
  }
};

TEST(FreshProcess, DISABLED_UncaughtException) {
  if (!InFreshProcess()) GTEST_SKIP() << "runs in a fresh process only";
  static PrintingHeap printer;
  g_pXXHeap = &printer;
  std::terminate();
}

TEST(LibraryError, AnUncaughtExceptionIsNotifiedAsLine18AndAborts) {
  std::string output;
  EXPECT_EQ(RunInFreshProcess("FreshProcess.DISABLED_UncaughtException", &output), -SIGABRT);
  EXPECT_NE(output.find("notification 0x10001 [$CXXLIB] [18] []"), std::string::npos) << output;
}

// ---------------------------------------------------------------------------
// Exit list and static objects

std::vector<int> g_exitOrder;

template <int I>
void RecordExit() {
  g_exitOrder.push_back(I);
}

template <int... I>
std::vector<PFV> ExitFunctions(std::integer_sequence<int, I...>) {
  return {&RecordExit<I>...};
}

TEST(FreshProcess, DISABLED_ExitList) {
  if (!InFreshProcess()) GTEST_SKIP() << "runs in a fresh process only";
  ASSERT_TRUE(g_probe.IsConstructed());
  // Empty the list first: the static objects go (the probe with them).
  RunExitFunctions();
  EXPECT_FALSE(g_probe.IsConstructed());
  EXPECT_EQ(ExitListCapacity(), 0u);

  std::vector<PFV> functions = ExitFunctions(std::make_integer_sequence<int, 17>());
  for (int i = 0; i < 16; ++i) EXPECT_EQ(AddExitFunction(functions[i]), 0);
  EXPECT_EQ(ExitListCapacity(), 16u);
  EXPECT_EQ(AddExitFunction(functions[16]), 0);
  EXPECT_EQ(ExitListCapacity(), 32u);

  RunExitFunctions();
  std::vector<int> expected;
  for (int i = 16; i >= 0; --i) expected.push_back(i);
  EXPECT_EQ(g_exitOrder, expected);
  EXPECT_EQ(ExitListCapacity(), 0u);
}

TEST(ExitList, SeventeenFunctionsGrowTheListTwiceAndRunLastFirst) {
  ExpectFreshProcessPasses("FreshProcess.DISABLED_ExitList");
}

TEST(StaticObjects, BuiltByTheTableWhenTheLibraryStarts) {
  ASSERT_TRUE(g_probe.IsConstructed());
  EXPECT_EQ(g_probe->number, 42);
  EXPECT_STREQ(g_probe->text.Text(), "built");
}

std::vector<int> g_tableOrder;
void TableFirst() { g_tableOrder.push_back(1); }
void TableSecond() { g_tableOrder.push_back(2); }

TEST(StaticObjects, FunctionTableRunsInOrderAndSkipsEmptyEntries) {
  g_tableOrder.clear();
  PFV table[] = {&TableFirst, nullptr, &TableSecond, nullptr};
  RunFunctionTable(table, table + 4);
  EXPECT_EQ(g_tableOrder, (std::vector<int>{1, 2}));
  RunFunctionTable(nullptr, nullptr);  // a deliverable without static objects
  EXPECT_EQ(g_tableOrder.size(), 2u);
}

// ---------------------------------------------------------------------------
// Win32 failure reporter

std::string SystemText(DWORD code) {
  char text[1024] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, sizeof text, nullptr);
  return std::string(text, n);
}

TEST(Win32Error, ReportRaisesWin32ErrorWithClassOperationDetailAndText) {
  std::string system = SystemText(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(system.empty());
  ASSERT_EQ(system.substr(system.size() - 2), "\r\n");
  std::string expectedText = system.substr(0, system.size() - 2) + " ";

  struct Case {
    const char* className;
    const char* operation;
    const char* detail;
    const char* p1;
    const char* p2;
  } cases[] = {
      {"CPATH", "Initialize", "LoadLibrary", "CPATH::Initialize", "LoadLibrary"},
      {"CFILE", "Open", nullptr, "CFILE::Open", "Open"},
      {nullptr, "CreateHeap", "detail", "CreateHeap", "detail"},
      {nullptr, "CreateHeap", nullptr, "CreateHeap", "CreateHeap"},
  };
  for (const Case& c : cases) {
    Heap().notifications.clear();
    CWIN32ERROR reporter(c.className);
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(reporter.Report(c.operation, c.detail));
    ASSERT_EQ(Heap().notifications.size(), 1u) << c.p1;
    const RecordedNotification& n = Heap().notifications[0];
    EXPECT_EQ(n.id, NOTIFY_WIN32ERROR);
    EXPECT_EQ(n.p1, c.p1);
    EXPECT_EQ(n.p2, c.p2);
    EXPECT_EQ(n.p3, expectedText);
    EXPECT_STREQ(reporter.m_message.Text(), expectedText.c_str());
  }
}

TEST(Win32Error, NothingIsRaisedWithoutSystemTextOrWhenDisabled) {
  Heap().notifications.clear();
  CWIN32ERROR reporter("CFILE");
  SetLastError(0x2FFFFFFFu);  // a code the system has no text for
  EXPECT_FALSE(reporter.Report("Open", "x"));
  EXPECT_TRUE(Heap().notifications.empty());

  reporter.m_enabled = 0;
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(reporter.Report("Open", "x"));
  EXPECT_TRUE(Heap().notifications.empty());
}

TEST(Win32Error, SystemTextKeepsEachNonEmptyLineFollowedByOneBlank) {
  // The kernel lets a layer attach its own text to the last error.
  mvn::SetLastErrorDetail(ERROR_MOD_NOT_FOUND, "first line\r\n\r\nsecond line\nthird\r\n");
  CTEXTBUF16 text;
  ASSERT_TRUE(CWIN32ERROR::GetSystemText(ERROR_MOD_NOT_FOUND, &text));
  EXPECT_STREQ(text.Text(), "first line second line third ");

  text.Assign("stale");
  EXPECT_FALSE(CWIN32ERROR::GetSystemText(0x2FFFFFFFu, &text));
  EXPECT_STREQ(text.Text(), "");
}

}  // namespace
