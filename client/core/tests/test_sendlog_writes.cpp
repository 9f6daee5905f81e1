// The send log as sends write it: replaced whole under its lock, by real
// processes sending at the same time, on a full disk, and when the log's
// name is taken by something that is no file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>

#include "client/core/request.h"
#include "client/core/sendlist.h"
#include "client/core/sendlogfile.h"
#include "client/core/tests/prompter.h"
#include "framework/core/strings.h"
#include "tests/support/child.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using namespace mvn::client;
namespace fs = std::filesystem;
namespace fw = mvn::framework;
using clienttest::ScriptedPrompter;
using mvntest::ReadFile;
using mvntest::WriteFile;

namespace {

// What the log holds: each record's fields in file order.
std::vector<std::map<std::string, std::string>> LogRecords(const std::string& path) {
  std::vector<std::map<std::string, std::string>> rows;
  fw::FileManager log(fw::Driver::Csv, SNDLayout(), path);
  log.SetCreate(false);
  if (log.TryOpen(fw::ReadOnly | fw::DenyNone) != 0 || log.Set() != 0) return rows;
  while (log.Next() == 0) {
    std::map<std::string, std::string> row;
    for (const char* f : {"Date", "Attn", "Destination", "Ref"}) row[f] = log.Buffer().Clipped(f);
    rows.push_back(row);
  }
  return rows;
}

// Names in the log's folder that are temporaries of a log write.
std::vector<std::string> Temporaries(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(folder)) {
    std::string name = e.path().filename().string();
    if (name.size() > 4 && name.substr(name.size() - 4) == ".tmp") found.push_back(name);
  }
  return found;
}

// Waits for the child with a deadline (killed after it); its exit code, or
// -1 when it did not exit by itself.
int Reap(pid_t child, std::chrono::seconds deadline = std::chrono::seconds(60)) {
  auto until = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(child, &status, WNOHANG);
    if (r == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (std::chrono::steady_clock::now() > until) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    usleep(5000);
  }
}

class SendLogWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "record");
    setenv("MVN_RECORD_DIR", (dir / "record").c_str(), 1);
    WriteFile(dir / "doc.ps", "%!PS\n");
    log = dir / "log.csv";
    ini.SetFileName(dir / "client.ini");
    WriteFile(dir / "client.ini", "[Files]\nDeliveryCommand=" + std::string(MVN_CLIENT_HELPER) + " record %1\nSendLog=" +
                                      log + "\n[Default]\nSENDLOG=YES\n");
  }

  // One send of the real send path to one typed recipient, in this
  // process; the request and its copies go into a temporary folder of its
  // own, so that senders in several processes meet only at the log.
  SendResult Send(const std::string& name, const std::string& reference, ScriptedPrompter& prompter) {
    Dictionary d;
    SendListSource source;
    source.recipient.name = name;
    source.recipient.destination = "555";
    BuildSendList(d, source);
    SendJob job;
    job.sendDate = fw::Date(12, 24, 2003);
    job.sendTime = fw::Time(15, 30, 0);
    job.mainAttachment = dir / "doc.ps";
    job.reference = reference;
    WriterOptions options;
    options.waitMs = 3000;
    options.pauseMs = 20;
    options.now = 1796906096;  // 2026-12-10 12:34:56 UTC
    return SendFaxJob(d, ini, job, prompter, options);
  }
  void OwnTemp(const std::string& name) {
    fs::create_directories(dir / name);
    setenv("MVN_TEMP", (dir / name).c_str(), 1);
  }

  mvntest::TempDir dir;
  std::string log;
  fw::IniFile ini;
};

// Several clients sending at once: every record of every send is in the
// log once, whole, and the log is a log (no temporary left beside it).
TEST_F(SendLogWrites, ConcurrentSendersLoseNoRecord) {
  constexpr int kSenders = 4, kSends = 8;
  std::vector<pid_t> children;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  for (int i = 0; i < kSenders; ++i) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[1]);
      char go;
      if (read(ready[0], &go, 1) != 1) _exit(90);  // all start together
      OwnTemp("temp" + std::to_string(i));
      int failed = 0;
      for (int j = 0; j < kSends; ++j) {
        ScriptedPrompter prompter;
        SendResult r = Send("P" + std::to_string(i), "R" + std::to_string(i) + "-" + std::to_string(j), prompter);
        if (!r.logged || !prompter.told.empty()) {
          for (const std::string& t : prompter.told) std::fprintf(stderr, "sender %d: %s\n", i, t.c_str());
          ++failed;
        }
      }
      _exit(failed);
    }
    children.push_back(child);
  }
  close(ready[0]);
  ASSERT_EQ(write(ready[1], "gggg", kSenders), kSenders);
  close(ready[1]);
  for (pid_t child : children) EXPECT_EQ(Reap(child), 0) << "a sender's send was not logged";

  std::multiset<std::string> refs;
  for (const auto& row : LogRecords(log)) {
    refs.insert(row.at("Ref"));
    EXPECT_EQ(row.at("Date"), "2026/12/10 12:34:56");
    EXPECT_EQ(row.at("Destination"), "555");
    EXPECT_EQ(row.at("Ref").rfind("R" + row.at("Attn").substr(1) + "-", 0), 0u) << row.at("Attn");
  }
  EXPECT_EQ(refs.size(), static_cast<size_t>(kSenders * kSends));
  for (int i = 0; i < kSenders; ++i)
    for (int j = 0; j < kSends; ++j)
      EXPECT_EQ(refs.count("R" + std::to_string(i) + "-" + std::to_string(j)), 1u) << i << "-" << j;
  // One line per record, each ended with CR LF.
  std::string bytes = ReadFile(log);
  size_t lines = 0;
  for (size_t at = 0; (at = bytes.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
  EXPECT_EQ(lines, static_cast<size_t>(kSenders * kSends));
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
  EXPECT_TRUE(Temporaries(dir.path()).empty());
}

// A disk that fills while the new log is written (a file-size limit in the
// sending process): the old log stays byte for byte, the temporary goes,
// and the user is told. The limit falls inside the copy of the old records
// and inside the new record.
TEST_F(SendLogWrites, AFullDiskKeepsTheOldLogWhole) {
  std::string old;
  for (int i = 0; old.size() < 20000; ++i)
    old += "\"2026/12/09 10:00:00\",\"Earlier " + std::to_string(i) + "\",\"\",\"444\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n";
  for (rlim_t limit : {static_cast<rlim_t>(16000), static_cast<rlim_t>(old.size() + 10)}) {
    SCOPED_TRACE(limit);
    WriteFile(log, old);
    ASSERT_EQ(chmod(log.c_str(), 0640), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(50);
      signal(SIGXFSZ, SIG_IGN);
      OwnTemp("temp");
      rlimit l{limit, limit};
      setrlimit(RLIMIT_FSIZE, &l);
      ScriptedPrompter prompter;
      SendResult r = Send("Bob", "Full", prompter);
      bool told = prompter.told.size() == 1 &&
                  prompter.told[0].find("The send log " + log + " could not be written: ") == 0;
      if (!told)
        for (const std::string& t : prompter.told) std::fprintf(stderr, "told: %s\n", t.c_str());
      _exit((r.started ? 0 : 1) | (r.logged ? 2 : 0) | (told ? 0 : 4));
    }
    EXPECT_EQ(Reap(child), 0);
    EXPECT_TRUE(ReadFile(log) == old) << "the old log changed";
    struct stat st {};
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(Temporaries(dir.path()), std::vector<std::string>{});
  }
  // Without the limit the same send adds its record to the old ones, and
  // the log keeps its mode.
  OwnTemp("temp");
  ScriptedPrompter prompter;
  SendResult r = Send("Bob", "Room", prompter);
  EXPECT_TRUE(r.logged);
  std::string now = ReadFile(log);
  EXPECT_EQ(now.substr(0, old.size()), old);
  EXPECT_EQ(now.substr(old.size()),
            "\"2026/12/10 12:34:56\",\"Bob\",\"\",\"555\",\"Room\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n");
  struct stat st {};
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// The log's name (or its lock's) taken by a FIFO or a directory: the send
// is refused at once with the reason; nothing waits on the FIFO, and
// nothing is put in the directory's place.
TEST_F(SendLogWrites, ALogThatIsNoFileIsRefusedWithoutWaiting) {
  struct Case {
    const char* what;
    std::string path;
    bool fifo;
    std::string said;
  } cases[] = {
      {"log FIFO", log, true, "it is not a regular file"},
      {"log directory", log, false, "it is not a regular file"},
      {"lock FIFO", dir / ".log.csv.lock", true, "its lock file " + dir / ".log.csv.lock is not a regular file"},
      {"lock directory", dir / ".log.csv.lock", false, "its lock file " + dir / ".log.csv.lock cannot be used"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(log);
    fs::remove_all(dir / ".log.csv.lock");
    if (c.fifo)
      ASSERT_EQ(mkfifo(c.path.c_str(), 0600), 0);
    else
      fs::create_directories(c.path);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(30);
      OwnTemp("temp");
      ScriptedPrompter prompter;
      SendResult r = Send("Bob", "X", prompter);
      bool told = prompter.told.size() == 1 && prompter.told[0].find(c.said) != std::string::npos &&
                  prompter.told[0].find("The send log " + log) == 0;
      if (!told)
        for (const std::string& t : prompter.told) std::fprintf(stderr, "told: %s\n", t.c_str());
      _exit((r.started ? 0 : 1) | (r.logged ? 2 : 0) | (told ? 0 : 4));
    }
    EXPECT_EQ(Reap(child, std::chrono::seconds(30)), 0);
    struct stat st {};
    ASSERT_EQ(lstat(c.path.c_str(), &st), 0);
    EXPECT_EQ(c.fifo ? S_ISFIFO(st.st_mode) : S_ISDIR(st.st_mode), true);
    EXPECT_EQ(Temporaries(dir.path()), std::vector<std::string>{});
  }
}

// A writer that holds the lock keeps the next one waiting only up to its
// deadline, which then says who holds what; once the lock is free the next
// change goes through. A temporary of a writer that was killed is removed
// by the next change, one of a live process is left alone.
TEST_F(SendLogWrites, TheLockIsWaitedForWithADeadlineAndDeadWritersAreCleanedUp) {
  WriteFile(log, "\"a\"\r\n");
  int held = open((dir / ".log.csv.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  {
    SendLogLock lock;
    std::string message;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.Lock(log, &message, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(message.find("another program has been writing it for 1 seconds"), std::string::npos) << message;
    EXPECT_NE(message.find(log), std::string::npos) << message;
  }
  close(held);

  // A dead writer's temporary (a pid no process has) and a live one's.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_EQ(Reap(gone), 0);
  const fs::path dead = dir / (".log.csv." + std::to_string(gone) + ".tmp");
  const fs::path live = dir / (".log.csv." + std::to_string(getppid()) + ".tmp");
  WriteFile(dead, "half");
  WriteFile(live, "busy");
  std::string message;
  EXPECT_TRUE(AppendSendLog(log, [](fw::FileManager& f) {
    f.Buffer().Clear();
    f.Buffer().Set("Date", "b");
    return f.TryInsert();
  }, &message)) << message;
  EXPECT_EQ(ReadFile(log), "\"a\"\r\n\"b\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n");
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(live));
}

// A log its user made read-only is not replaced, though the folder would
// let a rename do it: the change is refused and the log keeps its bytes.
TEST_F(SendLogWrites, AReadOnlyLogIsNotReplaced) {
  WriteFile(log, "\"a\"\r\n");
  ASSERT_EQ(chown(dir.str().c_str(), mvntest::kStranger, mvntest::kStranger), 0);
  ASSERT_EQ(chown(log.c_str(), mvntest::kStranger, mvntest::kStranger), 0);
  ASSERT_EQ(chmod(log.c_str(), 0444), 0);
  int code = mvntest::AsStranger([&] {
    alarm(30);
    std::string message;
    bool ok = AppendSendLog(log, [](fw::FileManager& f) {
      f.Buffer().Clear();
      return f.TryInsert();
    }, &message);
    return ok ? 1 : message == "The send log " + log + " could not be written: it is read-only (Permission denied)" ? 0 : 2;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadFile(log), "\"a\"\r\n");
  EXPECT_EQ(Temporaries(dir.path()), std::vector<std::string>{});
}

}  // namespace
