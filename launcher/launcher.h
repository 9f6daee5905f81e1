// The application launchers' shared core.
//
// A launcher reads launcher messages from its mailslot and starts the
// command lines they carry: mvnfuial serves the per-user slot of its user
// (one per user session), mvncuial the console slot. The slot names and
// the messages are those of platform/mailslot/launcher.h.
//
// Only permitted senders are obeyed: root, the user the spooler service runs
// as (MVN_SPOOLER_USER, a user name or number, default "root"), and for
// mvnfuial also the launcher's own user. A message from anybody else is
// dropped with one line on standard error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "platform/mailslot/launcher.h"

namespace mvn::launcher {

enum class Kind { PerUser, Console };

// Runs the launcher until its mailslot fails; returns the exit code.
int Run(Kind kind);
// A launcher program's main: "-h"/"--help" alone prints usage on standard
// output (exit 0), any other argument prints it on standard error (exit 2);
// without arguments the launcher runs.
int Main(Kind kind, const char* usage, int argc, char** argv);

// Pieces of the launcher's behaviour, exposed for tests.
// The spooler service's spool folder, <root>/spool/temp. Only the service
// makes names there.
std::string SpoolTemporaryDirectory();
// The folder of the files the service hands to user uid (a launched
// application's or a render engine's): <root>/spool/temp/<uid>, made by the
// service and owned by that user. mvncuial deletes a spool file after a
// failed start only when it lies directly in its own user's folder or in
// the spool folder itself.
std::string SpoolReceiverDirectory(uid_t uid);

// The program a bare name (no "/" or "\") stands for: the first executable
// regular file of that name in an absolute directory of PATH; empty when
// there is none. The current directory is never searched.
std::string FindOnPath(const std::string& name);

// Deletes path when it names a regular file directly inside directory (a
// symbolic link is not followed, "..", other directories and everything
// else are left alone). True when a file was deleted.
bool DeleteFileInDirectory(const std::string& path, const std::string& directory);

}  // namespace mvn::launcher
