// The mark a run of the send client keeps on its job folder: a lock file
// holding the run's process id, locked (flock) for as long as the run
// lives. The system ends the lock with the process however it ends, so a
// folder whose lock is free was left by a run that is gone, whatever its
// age; one whose lock is held belongs to a live run and is never touched.
#pragma once

#include <string>

#include "platform/kernel/win32.h"

namespace mvn::sendclient {

// The lock file's name in a job folder.
inline constexpr const char kRunLockName[] = "run.lock";

class RunLock {
 public:
  RunLock() = default;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock() { Release(false); }

  // Makes the lock file in the new job folder, locks it and writes this
  // process's id into it. False with the last error set when that fails.
  bool Claim(const char* folder);

  enum class State {
    NotARun,  // not a job folder of this user's runs (or not yet marked)
    Alive,    // its run is still running
    Left,     // its run is gone; the lock is now this object's
  };
  // Looks at a folder: only a folder of this user that nobody else may
  // write, whose lock file is this user's, can be taken. With Left the
  // lock is held by this object and *pid is the run that left it.
  State Inspect(const char* folder, DWORD* pid);

  // Lets the lock go; with remove the lock file is deleted first, while it
  // is still held, so nobody takes a folder that is about to go.
  void Release(bool remove);

 private:
  int m_fd = -1;
  std::string m_path;
};

}  // namespace mvn::sendclient
