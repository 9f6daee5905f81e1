// Whether a path is root's alone: the one check a root process makes before
// it runs, loads, reads settings from or writes into anything of a machine
// root, so that no other local user can steer what root does there.
//
// The rule, for every folder from "/" down to the path, walked by
// descriptors (openat with O_NOFOLLOW | O_DIRECTORY from the folder before,
// so no link and no rename on the way is followed or raced):
//   - the folder belongs to root or to the checking process's own user;
//   - nobody else may write it: no group and no other write bit. A folder
//     above the checked path may be sticky instead when root owns it (/tmp,
//     /var/tmp): there another user can neither rename nor remove an entry
//     of root's, so the next folder down, itself checked, stays root's. The
//     checked folder itself and everything below it take no write bit for
//     group or others at all, sticky or not.
// A file (RootsFile) is in addition a regular file of root's (or of the
// process's user) that nobody else may write.
//
// A process that is not root has no rights beyond its user's: the checks
// pass at once for it.
#pragma once

#include <string>

namespace mvn::kernel {

// Opens folder (a full path) by walking it from "/" as above and returns its
// descriptor (O_RDONLY | O_DIRECTORY | O_CLOEXEC; the caller closes it), so
// the caller can go on working relative to what was checked. -1 when a
// folder on the way is refused or cannot be opened; *why (when given) then
// names the folder and its owner: "the folder /srv/x belongs to uid 60001,
// not to root", "the folder /srv/x may be written by its group or others
// (mode 0775)", "/srv/x/y is a symbolic link, not a folder", "the folder
// /srv/x cannot be opened: <reason>". Checked also as a non-root process.
int OpenRootsFolder(const std::string& folder, std::string* why);

// Whether path (a full path) is a regular file of root's alone in folders of
// root's alone: the check for programs and libraries root starts or loads.
// *why as above, or "/srv/x/f belongs to uid 60001, not to root", "/srv/x/f
// may be written by its group or others (mode 0666)", "/srv/x/f is not a
// regular file". Passes at once when the process is not root.
bool RootsFile(const std::string& path, std::string* why);

// Whether the machine root (MvnRootDirectory) and the folders root keeps
// below it (registry, windows, windows/system, spool) are root's alone; the
// folders below that do not exist yet pass (root makes them itself). A root
// MVN_ROOT names that does not exist yet passes when its nearest existing
// folder is root's alone; root's default /var/lib/mvn must exist. Passes
// at once when the process is not root. *why as for OpenRootsFolder.
bool MachineRootIsRootsAlone(std::string* why);

// The check every root program makes first: when the machine root is not
// root's alone it writes "<program>: the machine root <root> is refused: <why>"
// on standard error and returns false; the program then ends without
// starting, loading or copying anything.
bool RequireMachineRootOfRoots();

}  // namespace mvn::kernel
