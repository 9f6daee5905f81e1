// Mailslots: real sockets below a private machine root, writers in this
// process, in forked children (also as another user) and in a separate
// program that only writes.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/win32.h"
#include "platform/mailslot/mailslot.h"
#include "tests/support/tempdir.h"

namespace {

mvntest::TestRoot* g_root = nullptr;

class RootEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_root = new mvntest::TestRoot;
    // Other users must reach <root>/mailslot in the tests that switch user.
    chmod(g_root->str().c_str(), 0755);
  }
  void TearDown() override {
    delete g_root;
    g_root = nullptr;
  }
};
const auto* g_environment = ::testing::AddGlobalTestEnvironment(new RootEnvironment);

std::string Slot(const std::string& name) { return "\\\\.\\mailslot\\" + name; }

HANDLE OpenWriter(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

bool Send(HANDLE writer, const std::string& message) {
  DWORD written = 0;
  return WriteFile(writer, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
         written == message.size();
}

// Reads one message (buffer of the given size); "<error N>" on failure.
std::string Receive(HANDLE server, DWORD bufferSize = 4096) {
  std::vector<char> buffer(bufferSize + 1);
  DWORD read = 0;
  if (!ReadFile(server, buffer.data(), bufferSize, &read, nullptr)) return "<error " + std::to_string(GetLastError()) + ">";
  return std::string(buffer.data(), read);
}

// Runs body in a forked child, as user uid when uid is not -1; returns the
// child's exit code.
int InChild(std::function<int()> body, uid_t uid = static_cast<uid_t>(-1)) {
  pid_t pid = fork();
  if (pid == 0) {
    if (uid != static_cast<uid_t>(-1) && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(99);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Mailslot, EachWriteIsOneWholeMessage) {
  HANDLE server = CreateMailslotA(Slot("whole").c_str(), 0, 1000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE writer = OpenWriter(Slot("whole"));
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  const std::string big(5000, 'x');
  for (const std::string& m : {std::string("abc"), std::string("defg"), std::string(), std::string("a\0b", 3), big})
    ASSERT_TRUE(Send(writer, m));
  EXPECT_EQ(Receive(server, 8192), "abc");
  EXPECT_EQ(Receive(server, 8192), "defg");
  EXPECT_EQ(Receive(server, 8192), "");
  EXPECT_EQ(Receive(server, 8192), std::string("a\0b", 3));
  EXPECT_EQ(Receive(server, 8192), big);
  // Writer and server handles only go one way.
  char c;
  DWORD n;
  EXPECT_FALSE(ReadFile(writer, &c, 1, &n, nullptr));
  EXPECT_FALSE(WriteFile(server, "x", 1, &n, nullptr));
  CloseHandle(writer);
  CloseHandle(server);
}

TEST(Mailslot, NamesCompareWithoutCaseAndMapToComponents) {
  HANDLE server = CreateMailslotA("\\\\.\\MailSlot\\Case\\MvnRender", 0, 1000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  struct stat st;
  EXPECT_EQ(lstat((*g_root / "mailslot/case/mvnrender").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const char* name : {"\\\\.\\mailslot\\case\\mvnrender", "\\\\.\\MAILSLOT\\CASE\\MVNRENDER", "//./mailslot/Case/mvnRender"}) {
    HANDLE writer = OpenWriter(name);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE) << name;
    EXPECT_TRUE(Send(writer, name));
    EXPECT_EQ(Receive(server), name);
    CloseHandle(writer);
  }
  // Same slot in other case: already served.
  EXPECT_EQ(CreateMailslotA("\\\\.\\mailslot\\CASE\\mvnrender", 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(server);
  EXPECT_NE(lstat((*g_root / "mailslot/case/mvnrender").c_str(), &st), 0) << "the socket goes with its server";
}

TEST(Mailslot, BadNamesAreRefused) {
  for (const char* name : {"\\\\.\\mailslot\\", "\\\\.\\mailslot\\a\\\\b", "\\\\.\\mailslot\\..\\x", "\\\\.\\mailslot\\a\\.",
                           "\\\\.\\pipe\\x", "mailslot\\x", "\\\\.\\mailslotx"}) {
    EXPECT_EQ(CreateMailslotA(name, 0, 0, nullptr), INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << name;
  }
}

TEST(Mailslot, AlreadyServedSlotCannotBeCreatedAgainUntilClosed) {
  HANDLE server = CreateMailslotA(Slot("served").c_str(), 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateMailslotA(Slot("served").c_str(), 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  // From another process as well.
  EXPECT_EQ(InChild([] {
              HANDLE h = CreateMailslotA(Slot("served").c_str(), 0, 0, nullptr);
              return h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS ? 0 : 1;
            }),
            0);
  CloseHandle(server);
  server = CreateMailslotA(Slot("served").c_str(), 0, 0, nullptr);
  EXPECT_NE(server, INVALID_HANDLE_VALUE);
  CloseHandle(server);
}

TEST(Mailslot, StaleSocketOfDeadServerIsReplaced) {
  // A server that dies without closing leaves its socket behind.
  ASSERT_EQ(InChild([] { return CreateMailslotA(Slot("stale").c_str(), 0, 0, nullptr) == INVALID_HANDLE_VALUE; }), 0);
  struct stat st;
  ASSERT_EQ(lstat((*g_root / "mailslot/stale").c_str(), &st), 0);
  EXPECT_EQ(OpenWriter(Slot("stale")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  HANDLE server = CreateMailslotA(Slot("stale").c_str(), 0, 1000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE writer = OpenWriter(Slot("stale"));
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Send(writer, "fresh"));
  EXPECT_EQ(Receive(server), "fresh");
  CloseHandle(writer);
  CloseHandle(server);
}

TEST(Mailslot, WriterWithoutReaderGetsFileNotFound) {
  EXPECT_EQ(OpenWriter(Slot("nobody-reads")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenWriter(Slot("no\\such\\dir")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // The server goes away while a writer holds its handle.
  HANDLE server = CreateMailslotA(Slot("gone").c_str(), 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE writer = OpenWriter(Slot("gone"));
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  CloseHandle(server);
  EXPECT_FALSE(Send(writer, "late"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  CloseHandle(writer);
  EXPECT_EQ(OpenWriter(Slot("gone")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Mailslot, MessageLongerThanServersLimitIsRefusedToWriter) {
  HANDLE server = CreateMailslotA(Slot("limit").c_str(), 16, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE writer = OpenWriter(Slot("limit"));
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Send(writer, std::string(17, 'L')));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(Send(writer, std::string(16, 'k')));
  EXPECT_EQ(Receive(server), std::string(16, 'k'));
  EXPECT_EQ(Receive(server), "<error " + std::to_string(ERROR_TIMEOUT) + ">") << "nothing else was queued";

  // A writer that bypasses the layer: its oversized datagram is dropped
  // whole, never handed on cut.
  int raw = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = *g_root / "mailslot/limit";
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(sendto(raw, std::string(40, 'R').data(), 40, 0, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 40);
  ASSERT_EQ(sendto(raw, "ok", 2, 0, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 2);
  close(raw);
  EXPECT_EQ(Receive(server), "ok");
  CloseHandle(writer);
  CloseHandle(server);
}

TEST(Mailslot, WritesNeverBlockOnAFullQueue) {
  HANDLE server = CreateMailslotA(Slot("full").c_str(), 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE writer = OpenWriter(Slot("full"));
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  auto start = std::chrono::steady_clock::now();
  int sent = 0;
  while (sent < 100000 && Send(writer, "message")) ++sent;
  EXPECT_LT(sent, 100000) << "the queue never filled";
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Nothing half-sent: every queued message is whole, and room makes the
  // next write succeed again.
  EXPECT_EQ(Receive(server), "message");
  EXPECT_TRUE(Send(writer, "again"));
  for (int i = 1; i < sent; ++i) ASSERT_EQ(Receive(server), "message");
  EXPECT_EQ(Receive(server), "again");
  CloseHandle(writer);
  CloseHandle(server);
}

TEST(Mailslot, ReadWaitsUpToTheTimeout) {
  using namespace std::chrono;
  HANDLE server = CreateMailslotA(Slot("timeout").c_str(), 0, 200, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  auto start = steady_clock::now();
  EXPECT_EQ(Receive(server), "<error " + std::to_string(ERROR_TIMEOUT) + ">");
  auto waited = steady_clock::now() - start;
  EXPECT_GE(waited, milliseconds(190));
  EXPECT_LT(waited, seconds(3));

  CloseHandle(server);

  // A message that arrives during the wait ends it, long before the
  // time-out (which leaves a slow machine time to start the writer).
  server = CreateMailslotA(Slot("intime").c_str(), 0, 20000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  pid_t child = fork();
  if (child == 0) {
    usleep(50 * 1000);
    HANDLE writer = OpenWriter(Slot("intime"));
    _exit(writer != INVALID_HANDLE_VALUE && Send(writer, "in time") ? 0 : 1);
  }
  start = steady_clock::now();
  EXPECT_EQ(Receive(server), "in time");
  EXPECT_LT(steady_clock::now() - start, seconds(15));
  int status;
  waitpid(child, &status, 0);
  CloseHandle(server);

  HANDLE forever = CreateMailslotA(Slot("forever").c_str(), 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(forever, INVALID_HANDLE_VALUE);
  child = fork();
  if (child == 0) {
    usleep(300 * 1000);
    HANDLE writer = OpenWriter(Slot("forever"));
    _exit(writer != INVALID_HANDLE_VALUE && Send(writer, "late") ? 0 : 1);
  }
  EXPECT_EQ(Receive(forever), "late");
  waitpid(child, &status, 0);
  CloseHandle(forever);
}

TEST(Mailslot, SmallReadBufferLeavesMessageQueued) {
  HANDLE server = CreateMailslotA(Slot("small").c_str(), 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE writer = OpenWriter(Slot("small"));
  ASSERT_TRUE(Send(writer, "0123456789"));
  EXPECT_EQ(Receive(server, 5), "<error " + std::to_string(ERROR_INSUFFICIENT_BUFFER) + ">");
  EXPECT_EQ(Receive(server, 9), "<error " + std::to_string(ERROR_INSUFFICIENT_BUFFER) + ">");
  EXPECT_EQ(Receive(server, 10), "0123456789");
  CloseHandle(writer);
  CloseHandle(server);
}

TEST(Mailslot, SenderIdentityPerWriterHandle) {
  HANDLE server = CreateMailslotA(Slot("sender").c_str(), 0, 1000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  MAILSLOT_SENDER none;
  EXPECT_FALSE(MailslotLastSender(server, &none)) << "nothing read yet";
  HANDLE first = OpenWriter(Slot("sender"));
  HANDLE second = OpenWriter(Slot("sender"));
  ASSERT_TRUE(Send(first, "1a"));
  ASSERT_TRUE(Send(second, "2"));
  ASSERT_TRUE(Send(first, "1b"));
  MAILSLOT_SENDER a, b, c;
  ASSERT_EQ(Receive(server), "1a");
  ASSERT_TRUE(MailslotLastSender(server, &a));
  ASSERT_EQ(Receive(server), "2");
  ASSERT_TRUE(MailslotLastSender(server, &b));
  ASSERT_EQ(Receive(server), "1b");
  ASSERT_TRUE(MailslotLastSender(server, &c));
  EXPECT_EQ(a.uid, geteuid());
  EXPECT_EQ(a.pid, getpid());
  EXPECT_GT(a.endpointLength, 0u);
  auto same = [](const MAILSLOT_SENDER& x, const MAILSLOT_SENDER& y) {
    return x.endpointLength == y.endpointLength && std::memcmp(x.endpoint, y.endpoint, x.endpointLength) == 0;
  };
  EXPECT_TRUE(same(a, c));
  EXPECT_FALSE(same(a, b));

  pid_t child = fork();
  if (child == 0) {
    HANDLE writer = OpenWriter(Slot("sender"));
    _exit(writer != INVALID_HANDLE_VALUE && Send(writer, "child") ? 0 : 1);
  }
  int status;
  waitpid(child, &status, 0);
  ASSERT_EQ(Receive(server), "child");
  uid_t uid;
  pid_t pid;
  ASSERT_TRUE(MailslotLastSender(server, &uid, &pid));
  EXPECT_EQ(pid, child);
  CloseHandle(first);
  CloseHandle(second);
  CloseHandle(server);
}

TEST(Mailslot, OnlyOwnerAndAllowedUsersMayWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to write as other users";
  const uid_t allowed = 65534, other = 64000;
  HANDLE server = CreateMailslotA(Slot("perm\\slot").c_str(), 0, 1000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  auto write = [] {
    HANDLE writer = OpenWriter(Slot("perm\\slot"));
    if (writer == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED ? 5 : 1;
    return Send(writer, "as " + std::to_string(getuid())) ? 0 : 2;
  };
  EXPECT_EQ(InChild(write, allowed), 5);
  ASSERT_TRUE(MailslotAllowWriter(server, allowed));
  EXPECT_EQ(InChild(write, allowed), 0);
  EXPECT_EQ(InChild(write, other), 5);
  EXPECT_EQ(Receive(server), "as " + std::to_string(allowed));
  uid_t uid;
  pid_t pid;
  ASSERT_TRUE(MailslotLastSender(server, &uid, &pid));
  EXPECT_EQ(uid, allowed);
  EXPECT_EQ(Receive(server), "<error " + std::to_string(ERROR_TIMEOUT) + ">");
  CloseHandle(server);
}

TEST(Mailslot, AnotherUsersSlotCannotBeTakenOver) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  // The shared directories exist (made by root's first slot there).
  HANDLE setup = CreateMailslotA(Slot("shared\\setup").c_str(), 0, 0, nullptr);
  ASSERT_NE(setup, INVALID_HANDLE_VALUE);
  CloseHandle(setup);
  // A name of its own per run: the last step leaves a stale slot behind.
  static int run = 0;
  const std::string alice = Slot("shared\\alice" + std::to_string(++run));
  // A user serves a slot in a shared directory and dies; another user can
  // neither serve it nor remove it.
  ASSERT_EQ(InChild([&] { return CreateMailslotA(alice.c_str(), 0, 0, nullptr) == INVALID_HANDLE_VALUE; },
                    65534),
            0);
  EXPECT_EQ(InChild([&] {
              HANDLE h = CreateMailslotA(alice.c_str(), 0, 0, nullptr);
              return h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1;
            },
                    64000),
            0);
  // Its owner can serve it again; closed properly, it leaves nothing behind,
  // and the other user can serve the name next.
  EXPECT_EQ(InChild([&] {
              HANDLE h = CreateMailslotA(alice.c_str(), 0, 0, nullptr);
              return h != INVALID_HANDLE_VALUE && CloseHandle(h) ? 0 : 1;
            },
                    65534),
            0);
  struct stat st;
  const std::string entry = *g_root / ("mailslot/shared/alice" + std::to_string(run));
  EXPECT_NE(lstat(entry.c_str(), &st), 0);
  EXPECT_NE(lstat((entry + ".LOCK").c_str(), &st), 0);
  EXPECT_EQ(InChild([&] { return CreateMailslotA(alice.c_str(), 0, 0, nullptr) == INVALID_HANDLE_VALUE; },
                    64000),
            0);
}

TEST(Mailslot, LongSocketPathsWork) {
  // Deeper than a socket address can name directly.
  std::string name = "deep";
  for (int i = 0; i < 6; ++i) name += "\\" + std::string(30, static_cast<char>('a' + i));
  HANDLE server = CreateMailslotA(Slot(name).c_str(), 0, 1000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
  HANDLE writer = OpenWriter(Slot(name));
  ASSERT_NE(writer, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(Send(writer, "deep"));
  EXPECT_EQ(Receive(server), "deep");
  CloseHandle(writer);
  CloseHandle(server);
}

TEST(Mailslot, ProgramThatOnlyWritesReachesTheSlot) {
  // The helper calls nothing of this layer but CreateFileA and WriteFile.
  HANDLE server = CreateMailslotA(Slot("helper").c_str(), 0, 5000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  std::string command = std::string(MAILSLOT_WRITER_PATH) + " '\\\\.\\mailslot\\HELPER' 'from the helper'";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(Receive(server), "from the helper");
  CloseHandle(server);
  command = std::string(MAILSLOT_WRITER_PATH) + " '\\\\.\\mailslot\\helper' 'nobody'";
  EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 2) << "no reader: error 2";
}

TEST(Mailslot, LoadedModuleThatOnlyWritesReachesTheSlot) {
  // A module carries its own copy of the layer, registered when it loads.
  void* module = dlopen(MAILSLOT_WRITER_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto write = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(module, "WriteToMailslot"));
  ASSERT_NE(write, nullptr);
  HANDLE server = CreateMailslotA(Slot("module").c_str(), 0, 5000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  EXPECT_EQ(write("\\\\.\\mailslot\\Module", "from the module"), 0);
  EXPECT_EQ(Receive(server), "from the module");
  CloseHandle(server);
  EXPECT_EQ(write("\\\\.\\mailslot\\module", "nobody"), static_cast<int>(ERROR_FILE_NOT_FOUND));
  dlclose(module);
}

// ---------------------------------------------------------------------------
// Neighbours: users A and B, uids without accounts.

constexpr uid_t kUserA = 60001, kUserB = 60002;

// A forked child as another user that keeps running beside the test; its
// exit code comes back from Finish.
class Child {
 public:
  Child(uid_t uid, std::function<int(int ready)> body) {
    int pipes[2];
    if (pipe(pipes) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(pipes[0]);
      if (setgid(uid) != 0 || setuid(uid) != 0) _exit(99);
      _exit(body(pipes[1]));
    }
    close(pipes[1]);
    m_ready = pipes[0];
  }
  ~Child() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_ready >= 0) close(m_ready);
  }
  bool WaitReady() {
    char byte;
    return read(m_ready, &byte, 1) == 1;
  }
  int Finish() {
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t m_pid = -1;
  int m_ready = -1;
};

void SayReady(int fd) {
  char byte = 1;
  if (write(fd, &byte, 1) != 1) _exit(98);
  close(fd);
}

// Counts the messages a server gets until nothing came for the read time-out.
int CountMessages(HANDLE server) {
  int count = 0;
  char buffer[64];
  DWORD read = 0;
  while (ReadFile(server, buffer, sizeof buffer, &read, nullptr)) ++count;
  return count;
}

TEST(MailslotNeighbours, EntrySwappedForALinkNeverReachesAnotherUsersSlot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  ASSERT_TRUE(CreateMailslotDirectory(Slot("flip").c_str()));
  const std::string dir = *g_root / "mailslot/flip";
  // B serves its slot; A serves one of its own and swaps its entry, again
  // and again, with a link to B's socket.
  Child b(kUserB, [&](int ready) {
    HANDLE h = CreateMailslotA(Slot("flip\\b").c_str(), 0, 1500, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 90;
    SayReady(ready);
    return std::min(CountMessages(h), 80);
  });
  ASSERT_TRUE(b.WaitReady());
  Child a(kUserA, [&](int ready) {
    HANDLE h = CreateMailslotA(Slot("flip\\a").c_str(), 0, 1500, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 90;
    SayReady(ready);
    return std::min(CountMessages(h), 250);
  });
  ASSERT_TRUE(a.WaitReady());
  Child flipper(kUserA, [&](int ready) {
    if (symlink((dir + "/b").c_str(), (dir + "/x").c_str()) != 0) return 91;
    SayReady(ready);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
    while (std::chrono::steady_clock::now() < end)
      renameat2(AT_FDCWD, (dir + "/a").c_str(), AT_FDCWD, (dir + "/x").c_str(), RENAME_EXCHANGE);
    return 0;
  });
  ASSERT_TRUE(flipper.WaitReady());
  // Writers keep trying while the entry flips (on a loaded machine most
  // tries may meet the link); at most 200 messages, the most a child's exit
  // code can count.
  int sent = 0, foreign = 0;
  auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
  while (sent < 200 && (elapsed() < std::chrono::milliseconds(700) ||
                        (sent == 0 && elapsed() < std::chrono::milliseconds(780)))) {
    HANDLE writer = OpenWriter(Slot("flip\\a"));
    if (writer == INVALID_HANDLE_VALUE) continue;
    uid_t owner = 0;
    ASSERT_TRUE(MailslotServerOwner(writer, &owner));
    if (owner != kUserA) ++foreign;
    if (Send(writer, "m")) ++sent;
    CloseHandle(writer);
  }
  EXPECT_EQ(flipper.Finish(), 0);
  EXPECT_EQ(foreign, 0);
  EXPECT_GT(sent, 0);
  EXPECT_EQ(a.Finish(), sent);
  EXPECT_EQ(b.Finish(), 0) << "messages for A's slot reached B";
}

TEST(MailslotNeighbours, LockThatIsNoRegularFileOfTheOwnerMeansUnserved) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make files of other users";
  ASSERT_TRUE(CreateMailslotDirectory(Slot("odd").c_str()));
  const std::string dir = *g_root / "mailslot/odd";
  struct Case {
    const char* name;
    std::function<void(const std::string&)> plant;
  } cases[] = {
      {"fifo", [](const std::string& lock) { ASSERT_EQ(mkfifo(lock.c_str(), 0666), 0); }},
      {"foreign",
       [](const std::string& lock) {
         mvntest::WriteFile(lock, "0\n");
         ASSERT_EQ(chown(lock.c_str(), kUserA, kUserA), 0);
       }},
      {"link",
       [&](const std::string& lock) {
         mvntest::WriteFile(dir + "/real.lock", "0\n");
         ASSERT_EQ(symlink((dir + "/real.lock").c_str(), lock.c_str()), 0);
       }},
  };
  for (const Case& c : cases) {
    // A socket of root's under the name, and the lock planted beside it.
    const std::string socketPath = dir + "/" + c.name;
    int fake = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(fake, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    c.plant(socketPath + ".LOCK");
    // In a child that cannot hang the test: a writer that blocks is killed.
    int code = InChild([&] {
      alarm(5);
      HANDLE writer = OpenWriter(Slot(std::string("odd\\") + c.name));
      return writer == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : 1;
    });
    EXPECT_EQ(code, 0) << c.name;
    close(fake);
  }
}

TEST(MailslotNeighbours, UsersMakeNoSharedFoldersAndServeInNoneOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  // Root makes the shared folders (the service does at its start).
  ASSERT_TRUE(CreateMailslotDirectory(Slot("rootmade").c_str()));
  // A user's server does not make a shared folder it would own.
  EXPECT_EQ(InChild([] {
              HANDLE h = CreateMailslotA(Slot("afolder\\x").c_str(), 0, 0, nullptr);
              return h == INVALID_HANDLE_VALUE && !CreateMailslotDirectory(Slot("afolder").c_str()) &&
                             GetLastError() == ERROR_ACCESS_DENIED
                         ? 0
                         : 1;
            },
                    kUserA),
            0);
  struct stat st;
  EXPECT_NE(lstat((*g_root / "mailslot/afolder").c_str(), &st), 0);
  // A folder A made by hand (A could empty it) is no place for B's slot.
  ASSERT_EQ(InChild([] { return mkdir((*g_root / "mailslot/amade").c_str(), 01777) == 0 ? 0 : 1; }, kUserA), 0);
  chmod((*g_root / "mailslot/amade").c_str(), 01777);
  EXPECT_EQ(InChild([] {
              HANDLE h = CreateMailslotA(Slot("amade\\b").c_str(), 0, 0, nullptr);
              return h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1;
            },
                    kUserB),
            0);
  // In root's folder B serves, and a writer learns who serves.
  ASSERT_EQ(lstat((*g_root / "mailslot/rootmade").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
  Child b(kUserB, [](int ready) {
    HANDLE h = CreateMailslotA(Slot("rootmade\\b").c_str(), 0, 2000, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 90;
    SayReady(ready);
    return CountMessages(h);
  });
  ASSERT_TRUE(b.WaitReady());
  HANDLE writer = OpenWriter(Slot("rootmade\\b"));
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  uid_t owner = 0;
  ASSERT_TRUE(MailslotServerOwner(writer, &owner));
  EXPECT_EQ(owner, kUserB);
  EXPECT_TRUE(Send(writer, "hello"));
  CloseHandle(writer);
  EXPECT_EQ(b.Finish(), 1);
}

}  // namespace
