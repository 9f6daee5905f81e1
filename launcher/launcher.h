// The application launchers' shared core.
//
// A launcher reads launcher messages from its mailslot and starts the
// command lines they carry: mvnfuial listens on "\\.\mailslot\mvnfuial\"
// followed by its user's name (one per user session), mvncuial on
// "\\.\mailslot\mvncuial" (the console session). A message is at most 260
// bytes of NUL-terminated text: "#startuppath=" (exact case) and a
// directory sets the start directory of the next command from the same
// sender; any other text is a command line.
//
// Only permitted senders are obeyed: root, the user the spooler service runs
// as (MVN_SPOOLER_USER, a user name or number, default "root"), and for
// mvnfuial also the launcher's own user. A message from anybody else is
// dropped with one line on standard error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace launcher {

enum class Kind { PerUser, Console };

// Runs the launcher until its mailslot fails; returns the exit code.
int Run(Kind kind);

// Pieces of the launcher's behaviour, exposed for tests.
constexpr std::size_t kMessageLimit = 260;
constexpr char kStartPathPrefix[] = "#startuppath=";
constexpr std::size_t kStartPathPrefixLength = sizeof(kStartPathPrefix) - 1;

// The spool folder whose files mvncuial may delete after a failed start:
// <root>/spool/temp, where the spooler service puts render and launch jobs.
std::string SpoolTemporaryDirectory();

// Deletes path when it names a regular file directly inside directory (a
// symbolic link is not followed, "..", other directories and everything
// else are left alone). True when a file was deleted.
bool DeleteFileInDirectory(const std::string& path, const std::string& directory);

}  // namespace launcher
