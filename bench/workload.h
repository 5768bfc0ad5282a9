// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillbox::bench {

// Seconds on the monotonic clock.
double Now();

// Fills `folder` with `count` files of 0..maxBytes bytes whose names start
// with letters, digits and punctuation in turn. Deterministic for a seed.
void MakeSmallFiles(const std::string& folder, int count, int maxBytes, std::uint32_t seed);
// `count` files of `bytes` each, with data that is not all zeros.
void MakeLargeFiles(const std::string& folder, int count, std::uint64_t bytes);

// Hard-links every file of `pool` into `folder` (made if missing): a fresh
// source for a move without writing any data again.
void LinkFiles(const std::string& pool, const std::string& folder);

void MakeFolder(const std::string& path);
void RemoveTree(const std::string& path);
// Creates the 27 bucket folders under `destination`.
void MakeBuckets(const std::string& destination);
// The names of the regular files directly inside a folder.
std::vector<std::string> FileNames(const std::string& folder);
// Regular files anywhere under a folder.
std::uint64_t CountFilesBelow(const std::string& folder);

// Drops what the kernel caches of written data, where allowed, so that one
// side of a comparison does not pay for the other's writeback.
void SyncAll();

// Has the system back `bytes` of memory at once, then frees it. This
// machine's hypervisor takes back memory that stays free for a second or
// two, and the first touch of it afterwards costs seconds per GiB: a copy
// that starts a moment later than its rival after the folders are cleared
// would pay for that alone. Called right before each timed copy of the
// large files, it gives both sides page-cache memory that is at hand.
void TouchMemory(std::uint64_t bytes);

// The peak resident size since the last ResetPeakResident(), in bytes.
void ResetPeakResident();
std::uint64_t PeakResident();
std::uint64_t CurrentResident();

// A tmpfs mounted for the benchmark, or /dev/shm when mounting is refused.
class ScratchTmpfs {
public:
    ScratchTmpfs();
    ~ScratchTmpfs();
    const std::string& path() const { return m_path; }
    bool mounted() const { return m_mounted; }

private:
    std::string m_path;
    bool m_mounted = false;
};

// An ext4 file system with a journal on a loop device, when allowed.
class JournaledExt4 {
public:
    explicit JournaledExt4(const std::string& under, std::uint64_t bytes);
    ~JournaledExt4();
    bool ok() const { return m_ok; }
    const std::string& path() const { return m_path; }

private:
    std::string m_image;
    std::string m_path;
    bool m_ok = false;
};

} // namespace quillbox::bench
