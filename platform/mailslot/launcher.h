// The launcher protocol: how the port monitor reaches the application
// launchers. This header is the one definition of the slot names, the
// start-path message and the message limit; the monitor (portmon/nt), the
// spooler service (which makes the per-user slots' folder) and the
// launchers (launcher/) include it. It lives with the mailslot layer so
// that the platform side never depends on an application folder.
//
// A message is NUL-terminated text of at most kMessageLimit bytes, the
// terminator included. "#startuppath=" (exact case) followed by a directory
// sets the start directory of the next command line from the same sender;
// any other text is a command line.
#pragma once

#include <cstddef>

namespace mvn::launcher {

// The per-user launcher serves this prefix, its user's name and the leaf:
// the slot "launcher" in the user's own folder mvnfuial/<user>/, which the
// spooler service makes for that user (kSlotFolderControl) and nobody else
// can write, so no other user can take the slot's place.
inline constexpr char kPerUserSlotPrefix[] = "\\\\.\\mailslot\\mvnfuial\\";
inline constexpr char kPerUserSlotLeaf[] = "\\launcher";
// The control request a launcher sends the spooler service for its folder
// ("control=slotfolder"); the service makes the folder of the sender's
// user and answers "OK <folder>".
inline constexpr char kSlotFolderControl[] = "slotfolder";
// The console launcher's slot.
inline constexpr char kConsoleSlot[] = "\\\\.\\mailslot\\mvncuial";
inline constexpr char kStartPathPrefix[] = "#startuppath=";
inline constexpr std::size_t kStartPathPrefixLength = sizeof(kStartPathPrefix) - 1;
// The largest message a launcher reads, the terminator included.
inline constexpr std::size_t kMessageLimit = 260;
// Room for a slot name (the per-user prefix, a user name and the leaf),
// terminator included.
inline constexpr std::size_t kSlotNameSize = 260;

}  // namespace mvn::launcher
