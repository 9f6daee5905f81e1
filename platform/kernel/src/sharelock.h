// Share modes kept as advisory locks that every process with the same root
// directory sees (see sharelock.cpp).
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/kernel/win32.h"

namespace mvn::kernel {

class ShareLock {
 public:
  ShareLock() = default;
  ShareLock(const ShareLock&) = delete;
  ShareLock& operator=(const ShareLock&) = delete;
  ~ShareLock() { Release(); }

  // Registers an open of the file (device, inode) with the given access
  // (GENERIC_READ/GENERIC_WRITE) and share mode. Returns 0, or
  // ERROR_SHARING_VIOLATION when it conflicts with an open registered
  // before. When the lock directory cannot be used, share modes are not
  // enforced and 0 is returned.
  DWORD Acquire(dev_t device, ino_t inode, bool read, bool write, DWORD shareMode);
  void Release();

 private:
  int m_fd = -1;
  std::string m_path;
};

}  // namespace mvn::kernel
