// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "core/ports/file_system.h"

namespace quillbox::posix {

// Who a file is, as a run records it: of a stat (no birth time), of an open
// file, or of a name in a folder (never following a link). The latter two
// are taken once the file has its name, since naming it moves its change
// time on; false where the file could not be looked at.
FileIdentity IdentityOf(const struct stat& st);
bool IdentityOfOpen(int fd, FileIdentity& identity);
bool IdentityAt(int dir, const char* name, FileIdentity& identity);
// The same, with the file's type (the S_IFMT bits of its mode).
bool IdentityAndTypeAt(int dir, const char* name, FileIdentity& identity, mode_t& type);
// Which folder `name` in `dir` is ("" with AT_EMPTY_PATH: `dir` itself);
// `flags` as statx takes them.
bool FolderIdentityAt(int dir, const char* name, int flags, FolderIdentity& identity);

// A look at `name` in `dir` (flags as statx takes them) asked of its file
// system, not taken from what the system kept of an earlier look: a
// user-space or network file system keeps a file's length for a while, and
// a copy read to a length gone stale would be short while a check asking
// the same kept look saw nothing wrong. Local file systems answer as ever.
// -1 with errno where it could not be looked at.
int LookFresh(int dir, const char* name, int flags, struct stat& st);

// Whether a file is still what it was: the same inode, length and change time.
bool Unchanged(const struct stat& before, const struct stat& now);

} // namespace quillbox::posix
