// mvncsend killed in the middle of a send (kill -9 at a point the test
// holds it at), and the next run: it finds what the killed run left, by
// the run's lock and not by age, tells the user in one message naming the
// request and how far it got, puts the request back where a resend finds
// it and removes the job folder. A run that is alive is never touched.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/sendmachine.h"

using namespace mvntest;
using namespace std::chrono_literals;

namespace {

std::string Request(const std::string& attachment) {
  return "!MVN - DASHPOST V5.0 (Tolvar)\r\n!TARGET\r\nDestination:+44 20 7946 0000\r\nTo:Bob Jones\r\n\r\n"
         "!ExtAttachment,Scan," + attachment + "\r\n!MVN-END\r\n";
}

// mvncsend beside the test, on the machine, with the words.
std::unique_ptr<ChildProcess> Start(SendMachine* machine, const std::vector<std::string>& words) {
  machine->Write();
  std::vector<std::string> argv{MVN_MVNCSEND};
  argv.insert(argv.end(), words.begin(), words.end());
  ChildProcess::Options options;
  options.env = machine->env;
  options.output = machine->Path("child.out");
  return std::make_unique<ChildProcess>(argv, options);
}

// Holds the run inside SendFile: the fixture waits there until a second
// mark joins its own in the meeting folder.
void HoldInSendFile(SendMachine* machine) {
  std::filesystem::create_directories(machine->Path("meet"));
  machine->settings["FixtureMeetAt"] = machine->Path("meet");
  machine->settings["FixtureMeetCount"] = "2";
}

// Holds the run while it reads the attachment, halfway through it.
void HoldInAttachment(SendMachine* machine) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  machine->env["LD_PRELOAD"] = MVN_FAULTSHIM;
  machine->env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
  machine->env["MVN_FAULT_READ"] = "scan.tif";
  machine->env["MVN_FAULT_AFTER"] = "100000";
  machine->env["MVN_FAULT_STALL"] = machine->Path("stalled");
}

bool Held(const SendMachine& machine) {
  return !ListDirectory(machine.Path("meet")).empty() || Exists(machine.Path("stalled"));
}

}  // namespace

TEST(SendClientInterrupted, AKilledRunIsReportedAndItsRequestPutBackForAResend) {
  struct CASE {
    const char* name;
    void (*hold)(SendMachine*);
    bool nameTaken;     // the client wrote a new request of that name meanwhile
    std::string state;  // how far the killed run got, in the message
  };
  const std::vector<CASE> cases = {
      {"killed while building the job", HoldInAttachment, false, "ended before it was handed on, so it was not sent"},
      {"killed while the module had it", HoldInSendFile, false,
       "ended while the delivery module had it, so it may have been delivered: check before sending it again"},
      {"killed, and the request's name taken since", HoldInSendFile, true,
       "ended while the delivery module had it, so it may have been delivered: check before sending it again"},
  };
  for (const CASE& c : cases) {
    SCOPED_TRACE(c.name);
    SendMachine machine;
    const std::string attachment(300000, 'S');
    const std::string request = Request(machine.Path("scan.tif"));
    WriteFile(machine.Path("scan.tif"), attachment);
    WriteFile(machine.Path("Faxout.tmp"), request);

    c.hold(&machine);
    auto run = Start(&machine, {machine.Path("Faxout.tmp")});
    ASSERT_TRUE(run->Started());
    ASSERT_TRUE(WaitFor([&] { return Held(machine) || !run->Running(); }, 30s));
    ASSERT_TRUE(run->Running()) << ReadFile(machine.Path("child.out"));
    // What the killed run leaves: the request in I, a job folder with the
    // job as far as it was written.
    ASSERT_EQ(ListDirectory(machine.Path("work/I")), std::vector<std::string>{"Faxout.tmp"});
    ASSERT_TRUE(Exists(machine.Path("work/0")));
    const pid_t killed = run->Pid();
    run->Signal(SIGKILL);
    ASSERT_EQ(run->Wait(10s), 128 + SIGKILL);
    ASSERT_TRUE(Exists(machine.Path("work/0")));

    if (c.nameTaken) WriteFile(machine.Path("Faxout.tmp"), "a newer request\r\n");
    // The next run (here with nothing to send: configure mode, closed at
    // once without a display) finds it.
    SendMachine& next = machine;
    next.settings.erase("FixtureMeetAt");
    next.env.erase("LD_PRELOAD");
    next.env.erase("MVN_FAULT_READ");
    next.env.erase("MVN_FAULT_STALL");
    RunResult later = next.Run({});
    EXPECT_EQ(later.exitCode, 0) << later.err;
    const std::string kept = c.nameTaken ? next.Path("work/X/Faxout.tmp") : next.Path("Faxout.tmp");
    EXPECT_EQ(next.Boxes(), std::vector<std::string>{"mvncsend: The fax " + next.Path("Faxout.tmp") +
                                                     " was not finished: the run that sent it (process " +
                                                     std::to_string(killed) + ") " + c.state +
                                                     " / Its request is kept as " + kept})
        << ReadFile(next.Path("boxes.log"));
    EXPECT_EQ(ReadFile(kept), request);
    EXPECT_EQ(ReadFile(next.Path("scan.tif")), attachment) << "the attachment stays where it was";
    EXPECT_EQ(ListDirectory(next.Path("work")), (std::vector<std::string>{"I", "X"})) << "the job folder is gone";
    EXPECT_TRUE(ListDirectory(next.Path("work/I")).empty());
    if (c.nameTaken) {
      EXPECT_EQ(ReadFile(next.Path("Faxout.tmp")), "a newer request\r\n");
    }

    // A third run neither reports it again nor finds anything; the request
    // sent again goes out whole.
    std::remove(next.Path("boxes.log").c_str());
    RunResult resend = next.Run({kept});
    EXPECT_EQ(resend.exitCode, 0) << ReadFile(next.Path("boxes.log"));
    EXPECT_TRUE(next.Boxes().empty()) << ReadFile(next.Path("boxes.log"));
    auto outbox = next.Outbox();
    ASSERT_FALSE(outbox.empty());
    DecodedJob job = DecodeJob(outbox.back(), next.Path("decoded"));
    ASSERT_EQ(job.exitCode, 0) << job.error;
    EXPECT_TRUE(job.Payload(0, "ATTACHMENT") == attachment);
  }
}

// A run that is still sending is left alone however long it takes; once it
// ends normally nothing is left for anybody.
TEST(SendClientInterrupted, ALiveRunIsNeverTaken) {
  SendMachine machine;
  WriteFile(machine.Path("in.txt"), "the fax\r\n");
  HoldInSendFile(&machine);
  auto run = Start(&machine, {machine.Path("in.txt")});
  ASSERT_TRUE(WaitFor([&] { return Held(machine) || !run->Running(); }, 30s));
  ASSERT_TRUE(run->Running()) << ReadFile(machine.Path("child.out"));

  RunResult other = machine.Run({});
  EXPECT_EQ(other.exitCode, 0) << other.err;
  EXPECT_TRUE(machine.Boxes().empty()) << ReadFile(machine.Path("boxes.log"));
  EXPECT_EQ(ListDirectory(machine.Path("work/I")), std::vector<std::string>{"in.txt"});
  EXPECT_TRUE(Exists(machine.Path("work/0")));

  // The second mark lets the held run go on.
  WriteFile(machine.Path("meet/go"), "");
  EXPECT_EQ(run->Wait(30s), 0) << ReadFile(machine.Path("child.out"));
  EXPECT_EQ(machine.Outbox().size(), 1u);
  EXPECT_EQ(ListDirectory(machine.Path("work")), (std::vector<std::string>{"I", "X"}));
  EXPECT_TRUE(ListDirectory(machine.Path("work/I")).empty());
}

// A left folder is taken only when it is this user's own and nobody else
// may write it: another user could otherwise plant a record that steers
// this user's files. Put right again, the same folder is taken.
TEST(SendClientInterrupted, OnlyTheUsersOwnClosedFoldersAreTaken) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the folder to another user";
  struct CASE {
    const char* name;
    void (*spoil)(const std::string& folder);
    void (*mend)(const std::string& folder);
  };
  const std::vector<CASE> cases = {
      {"writable by others", [](const std::string& f) { chmod(f.c_str(), 0777); },
       [](const std::string& f) { chmod(f.c_str(), 0755); }},
      {"another user's", [](const std::string& f) { ASSERT_EQ(chown(f.c_str(), 60001, 60001), 0); },
       [](const std::string& f) { ASSERT_EQ(chown(f.c_str(), 0, 0), 0); }},
  };
  for (const CASE& c : cases) {
    SCOPED_TRACE(c.name);
    SendMachine machine;
    WriteFile(machine.Path("in.txt"), "the fax\r\n");
    HoldInSendFile(&machine);
    auto run = Start(&machine, {machine.Path("in.txt")});
    ASSERT_TRUE(WaitFor([&] { return Held(machine) || !run->Running(); }, 30s));
    run->Signal(SIGKILL);
    ASSERT_EQ(run->Wait(10s), 128 + SIGKILL);
    machine.settings.erase("FixtureMeetAt");

    const std::string folder = machine.Path("work/0");
    c.spoil(folder);
    RunResult later = machine.Run({});
    EXPECT_EQ(later.exitCode, 0) << later.err;
    EXPECT_TRUE(machine.Boxes().empty()) << ReadFile(machine.Path("boxes.log"));
    EXPECT_TRUE(Exists(folder));
    EXPECT_EQ(ListDirectory(machine.Path("work/I")), std::vector<std::string>{"in.txt"});

    c.mend(folder);
    later = machine.Run({});
    EXPECT_EQ(later.exitCode, 0) << later.err;
    EXPECT_EQ(machine.Boxes().size(), 1u) << ReadFile(machine.Path("boxes.log"));
    EXPECT_FALSE(Exists(folder));
    EXPECT_EQ(ReadFile(machine.Path("in.txt")), "the fax\r\n");
  }
}
