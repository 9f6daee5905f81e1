// Launcher commands that wait for their launcher.
//
// A mailslot write never blocks, and a launcher that is busy (or stopped
// for a moment) has room for only a few messages. A launch command is
// never dropped for that and never holds the port's job: what the
// launcher cannot take at once is kept here, in order, and a thread of
// its own sends it as soon as the launcher reads again. A command that
// still cannot be delivered after a minute, or that does not fit the
// queue, is reported with the no-launcher box. The queue keeps room per
// launcher user: one user whose launcher reads nothing fills only their
// own share, and every other user's commands still go at once.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/mailslot/mailslot.h"
#include "portmon/nt/mvnmon.h"

namespace mvn::portmon {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxWaitingPerUser = 64;
constexpr auto kDeliveryLimit = std::chrono::seconds(60);
constexpr auto kRetryInterval = std::chrono::milliseconds(50);

// One command for one launcher: the start-path message (maybe none) and
// the command line, sent in that order through the writer handle, whose
// address pairs them for the launcher.
struct Delivery {
  HANDLE slot = nullptr;
  uid_t owner = static_cast<uid_t>(-1);
  std::string messages[2];
  int count = 0;
  int next = 0;  // the first message not yet sent
  Clock::time_point deadline;
};

enum class Sent { All, Busy, Failed };

// Sends what is left of a delivery without waiting.
Sent TrySend(Delivery* delivery) {
  while (delivery->next < delivery->count) {
    const std::string& message = delivery->messages[delivery->next];
    DWORD length = static_cast<DWORD>(message.size() + 1);  // with its terminator
    DWORD written = 0;
    if (!WriteFile(delivery->slot, message.c_str(), length, &written, nullptr)) {
      return GetLastError() == ERROR_BUSY ? Sent::Busy : Sent::Failed;
    }
    if (written != length) return Sent::Failed;
    ++delivery->next;
  }
  return Sent::All;
}

void Finish(Delivery* delivery, bool delivered) {
  if (delivery->slot) CloseHandle(delivery->slot);
  delivery->slot = nullptr;
  if (!delivered) ShowNoLauncher();
}

class LaunchQueue {
 public:
  bool Send(Delivery delivery);
  void Stop();

 private:
  void Run();
  // One waiting command of owner is gone (m_lock held).
  void Forget(uid_t owner) {
    auto it = m_waitingOf.find(owner);
    if (it != m_waitingOf.end() && --it->second == 0) m_waitingOf.erase(it);
  }

  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<Delivery> m_waiting;
  std::map<uid_t, std::size_t> m_waitingOf;  // waiting commands per launcher user
  std::thread m_thread;
  bool m_stopping = false;
};

bool LaunchQueue::Send(Delivery delivery) {
  std::unique_lock<std::mutex> hold(m_lock);
  // Behind commands that wait already for the same launcher user, so a
  // launcher gets them in order; other users' waiting commands do not hold
  // this one back.
  auto waiting = m_waitingOf.find(delivery.owner);
  if (waiting == m_waitingOf.end()) {
    Sent sent = TrySend(&delivery);
    if (sent != Sent::Busy) {
      hold.unlock();
      Finish(&delivery, sent == Sent::All);
      return sent == Sent::All;
    }
  }
  if (m_stopping || (waiting != m_waitingOf.end() && waiting->second >= kMaxWaitingPerUser)) {
    hold.unlock();
    Finish(&delivery, false);
    return false;
  }
  delivery.deadline = Clock::now() + kDeliveryLimit;
  ++m_waitingOf[delivery.owner];
  m_waiting.push_back(std::move(delivery));
  if (!m_thread.joinable()) {
    try {
      m_thread = std::thread([this] { Run(); });
    } catch (...) {
      Delivery dropped = std::move(m_waiting.back());
      m_waiting.pop_back();
      Forget(dropped.owner);
      hold.unlock();
      Finish(&dropped, false);
      return false;
    }
  }
  m_wake.notify_all();
  return true;
}

void LaunchQueue::Run() {
  std::unique_lock<std::mutex> hold(m_lock);
  while (!m_stopping) {
    if (m_waiting.empty()) {
      m_wake.wait(hold);
      continue;
    }
    m_wake.wait_for(hold, kRetryInterval);
    if (m_stopping) break;
    std::deque<Delivery> failed;
    std::set<uid_t> busy;  // a launcher that is still full gets nothing newer this round
    Clock::time_point now = Clock::now();
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
      Sent sent = busy.count(it->owner) ? Sent::Busy : TrySend(&*it);
      if (sent == Sent::Busy && now < it->deadline) {
        busy.insert(it->owner);
        ++it;
        continue;
      }
      Forget(it->owner);
      if (sent == Sent::All) {
        Finish(&*it, true);
      } else {
        failed.push_back(std::move(*it));
      }
      it = m_waiting.erase(it);
    }
    if (!failed.empty()) {
      // The box may be shown for a while; not with the queue held.
      hold.unlock();
      for (Delivery& delivery : failed) Finish(&delivery, false);
      hold.lock();
    }
  }
}

void LaunchQueue::Stop() {
  std::deque<Delivery> left;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_stopping = true;
    m_wake.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
  {
    std::lock_guard<std::mutex> hold(m_lock);
    left.swap(m_waiting);
    m_waitingOf.clear();
  }
  // The module is going away: no box any more, a line for the log.
  for (Delivery& delivery : left) {
    std::fprintf(stderr, "mvnmon: a launcher command was not delivered: %s\n",
                 delivery.messages[delivery.count - 1].c_str());
    if (delivery.slot) CloseHandle(delivery.slot);
  }
}

LaunchQueue& Queue() {
  static LaunchQueue* s_queue = new LaunchQueue;  // ends with the module (StopLaunchQueue)
  return *s_queue;
}

}  // namespace

bool SendLauncherMessages(HANDLE slot, const char* startupDirectory, const char* commandLine) {
  using namespace mvn::launcher;
  const char* directory = startupDirectory ? startupDirectory : "";
  const char* command = commandLine ? commandLine : "";
  Delivery delivery;
  delivery.slot = slot;
  if (!MailslotServerOwner(slot, &delivery.owner)) delivery.owner = static_cast<uid_t>(-1);
  if (directory[0]) delivery.messages[delivery.count++] = std::string(kStartPathPrefix) + directory;
  delivery.messages[delivery.count++] = command;
  // A launcher reads at most kMessageLimit bytes per message; a message
  // that does not fit would reach it cut or not at all. Either both go or
  // neither.
  for (int i = 0; i < delivery.count; ++i) {
    if (delivery.messages[i].size() + 1 > kMessageLimit) {
      Finish(&delivery, false);
      return false;
    }
  }
  return Queue().Send(std::move(delivery));
}

void StopLaunchQueue() { Queue().Stop(); }

}  // namespace mvn::portmon
