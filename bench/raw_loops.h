// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>

namespace quillbox::bench {

// The least any correct run must do, written as bare loops over the system
// calls, to measure the full program against. Each sorts the files directly
// inside `source` into the existing buckets of `destination`.

// One bare readdir pass over the folder, counting its regular files by the
// type readdir reports: the counting pass every run makes before it starts.
std::size_t ReaddirPass(const std::string& source);

// readdir + fstatat + renameat2(RENAME_NOREPLACE).
void RawMove(const std::string& source, const std::string& destination);
// readdir + fstatat + temporary file + copy_file_range + rename into place.
void RawSafeCopy(const std::string& source, const std::string& destination);
// The same, keeping the source's mode and times as the program does
// (fstat of the opened source, futimens of the copy).
void RawSafeCopyKeepingTimes(const std::string& source, const std::string& destination);
// readdir + fstatat + open(O_TRUNC) of the target + copy_file_range: unsafe,
// a failure leaves a half-written target.
void RawInPlaceCopy(const std::string& source, const std::string& destination);
// GNU cp, one call per bucket (in batches of names), with --reflink=auto.
void CpByBucket(const std::string& source, const std::string& destination);

} // namespace quillbox::bench
