// Writing the send log ([Files] SendLog): every change replaces the file
// whole, and the changes of several processes (two clients sending, a send
// beside a deletion in the log window) follow one another.
//
// A change runs under a lock that is not the log itself (the log is
// replaced, so a lock on it would be a lock on a file nobody opens next): an
// exclusive flock on the hidden file ".<name>.lock" beside the log, waited
// for with a deadline. Under it the log is read, a temporary file
// ".<name>.<pid>.tmp" beside it is written completely (the old bytes as they
// are, then the new records in the log's comma-delimited form), given the
// old log's permission bits and owner, flushed to the disk and renamed over
// the log. A failure (a full disk, a file-size limit) removes the temporary
// and leaves the old log as it was; temporaries of writers that were killed
// are removed by the next change. A log that is not a regular file (a FIFO,
// a directory, a device) is refused without being opened.
#pragma once

#include <functional>
#include <string>

#include "framework/core/filemanager.h"

namespace mvn::client {

// The lock of one read-modify-write of a send log. Released when it goes.
class SendLogLock {
 public:
  SendLogLock() = default;
  ~SendLogLock();
  SendLogLock(const SendLogLock&) = delete;
  SendLogLock& operator=(const SendLogLock&) = delete;

  // Takes the lock of the log at path (as the log's file name is given; it
  // is looked up as the drivers do). False, with *message naming the log
  // and the reason, when the lock file cannot be used or another writer
  // held it for longer than seconds.
  bool Lock(const std::string& path, std::string* message, int seconds = 10);

 private:
  int m_fd = -1;
};

// Adds records to the log: add is called with a file manager over the new
// log's temporary (the log's layout, open for writing), fills its buffer
// and inserts each record, and returns 0 or the failing code. Replaces the
// log with what it was plus those records; the caller holds the log's lock.
// With keepOld false the old records are not copied (the new log holds only
// what add inserts). False with *message ("The send log <path> could not
// be written: <reason>") when anything fails; the log is then unchanged.
bool ReplaceSendLog(const std::string& path, bool keepOld,
                    const std::function<int(framework::FileManager&)>& add, std::string* message);

// ReplaceSendLog of the old records and the new ones under the log's lock.
bool AppendSendLog(const std::string& path, const std::function<int(framework::FileManager&)>& add,
                   std::string* message);

}  // namespace mvn::client
