// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quillbox::test {

// Deterministic, non-repeating-looking content of `size` bytes.
std::string Pattern(std::size_t size, unsigned seed = 1);
// A file of `size` bytes that takes no blocks (holes only).
void WriteSparse(const std::string& path, std::uint64_t size);
void MakeFifo(const std::string& path);
void MakeSocket(const std::string& path); // a bound Unix socket, left behind as a name
void MakeSymlink(const std::string& target, const std::string& link);

struct FileFacts {
    mode_t mode = 0; // permission bits
    std::int64_t mtimeSec = 0;
    long mtimeNsec = 0;
    std::uint64_t size = 0;
};
FileFacts Facts(const std::string& path);
// Sets the modification time; the access time becomes now.
void SetMtime(const std::string& path, std::int64_t seconds, long nanoseconds);

// Every name under `root`, at any depth, that a copy or move in progress
// would leave behind (".quillbox-*").
std::vector<std::string> TemporaryLeftovers(const std::string& root);

} // namespace quillbox::test
