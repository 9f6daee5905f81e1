// Which output folders the spooler service writes print jobs into. The
// service checks a port's OutputDirectory with this before it makes a
// spool file there (CreateSpoolFileIn); the Configure Port dialog and
// prnsetup use the same check to warn when such a folder is chosen.
#pragma once

#include <sys/types.h>

#include <string>

namespace mvn::spooler {

// Whose jobs a folder takes.
enum class FolderVerdict {
  Everyone,     // root's or the service's user's: every job is written there
  OwnerOnly,    // another user's: only that user's jobs (made with their rights)
  UserLink,     // a symbolic link that is not root's lies on its path: no job
  Unreachable,  // it cannot be opened as a folder: no job
};

// A port's output folder as the service reaches it.
struct OutputFolder {
  int fd = -1;     // the folder (an O_PATH descriptor) when reached; the caller closes it
  int error = 0;   // errno when it was not reached (ELOOP: a user's link)
  uid_t owner = 0;  // the folder's owner when reached
  FolderVerdict verdict = FolderVerdict::Unreachable;
};

// Opens folder (a full path) one component at a time from "/" without
// following a symbolic link that is not root's, so a user who owns a
// folder on the path cannot turn it into a link elsewhere, and tells whose
// jobs it takes when the service runs as service.
OutputFolder OpenOutputFolder(const std::string& folder, uid_t service);

// Whether the service writes a job of jobUser into a folder so checked.
bool FolderTakesJobOf(const OutputFolder& folder, uid_t jobUser);

// For a folder chosen as a port's output folder: a sentence that names the
// folder and says why the service (running as service) refuses jobs there,
// for every user or for all but the folder's owner; "" when it takes every
// job.
std::string OutputFolderWarning(const std::string& folder, uid_t service);

// A user's name, or their number when they have no account.
std::string UserNameOfUid(uid_t uid);

}  // namespace mvn::spooler
