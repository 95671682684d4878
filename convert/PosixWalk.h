// The held-descriptor pieces of the POSIX file layer, for walks outside it
// (the program's -r tree walk): each folder is opened from the one held
// before it by one name, so that no name swapped for a link meanwhile leads
// elsewhere. Internal: POSIX only, defined in PlatformPosix.cpp.
#pragma once

#include <sys/types.h>

namespace sorvane::posix {

// Whether a name owned by `owner` in the folder open on `folder` may be used
// (a link followed, a folder entered, a file replaced). In a world-writable
// sticky folder (/tmp) anyone may plant a name another user is about to use;
// such a name is used only when its owner is the caller (effective user) or
// the folder's owner, as the kernel's fs.protected_symlinks and
// fs.protected_regular do, whatever those settings say.
bool MayUse(int folder, uid_t owner);

// Opens the folder `name` (one name, no slash) in the folder open on `at`,
// following no link: -1 with errno ENOTDIR (or ELOOP) when the name is a
// link or no folder, ENOENT when it is missing, EACCES when the folder is
// one MayUse() refuses. `forListing` opens it readable (for fdopendir),
// else for lookups only where the system can (no read permission needed).
// The descriptor is close-on-exec and never 0, 1 or 2.
int OpenFolderBeneath(int at, const char* name, bool forListing);

}  // namespace sorvane::posix
