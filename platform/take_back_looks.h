// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "core/ports/file_system.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

// openat(2) (`dir` may be AT_FDCWD), and read(2), tried again where a
// signal cut them short.
int OpenRetrying(int dir, const char* name, int flags);
ssize_t ReadRetrying(int fd, char* into, std::size_t size);
// A folder of the run, opened without following a link, or why it cannot
// serve: it is not the folder the run used.
FsStatus OpenRunFolder(const ResolvedFolder& folder, UniqueFd& fd);
// Removes the empty folder `name` of `parent` while it is the very folder
// `made` (on a share, as a journal there knows it); success where it is
// gone already, ESTALE where it is another.
FsStatus RemoveMadeFolder(int parent, const char* name, const FolderIdentity& made);
// The file `name` of `dir` as IdentityAt tells it, not following a link,
// and how many names it has.
bool LookAt(int dir, const char* name, FileIdentity& identity, std::uint64_t& links);
// Whether two regular files hold the same bytes, read through `a` and `b`.
bool SameBytes(int a, int b);
// Whether the regular files `nameA` and `nameB` hold the same bytes,
// whatever their times: on a share, a copy and its original.
bool SameBytesAt(int dirA, const char* nameA, int dirB, const char* nameB);
// Whether `nameB` is a copy a take-back made of `nameA` on another file
// system: of the same kind, length and modification time, with the same
// bytes (a file) or the same target (a link). Two names of one file are no
// copy of each other.
bool SameCopy(int dirA, const char* nameA, int dirB, const char* nameB);

// Whether `nameB` is a copy a take-back was making of the link `nameA` on
// another file system when it was cut short, after the copy got its name
// and before it got the link's times: a link with the same target, made
// after `nameA` got its private name and with its time of making still.
// Where it is, it is given the link's times and owner, and true comes back.
bool FinishCutShortLinkCopy(int dirA, const char* nameA, int dirB, const char* nameB);

} // namespace quillbox::posix
