// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

#include "core/ports/file_system.h"
#include "platform/unique_fd.h"

namespace quillbox::posix {

// A folder of the run, opened without following a link, or why it cannot
// serve: it is not the folder the run used.
FsStatus OpenRunFolder(const ResolvedFolder& folder, UniqueFd& fd);
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

} // namespace quillbox::posix
