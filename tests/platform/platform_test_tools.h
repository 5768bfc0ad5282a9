// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the platform tests share: one file handled through a run's folders
// as the run handles it, the names a listing gives, and the descriptors
// the process holds on a folder.

#include <gtest/gtest.h>

#include <cstdint>
#include <dirent.h>
#include <limits.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ports/file_system.h"
#include "tests/support/fault_tools.h"
#include "tests/support/temp_dir.h"

namespace quillbox::test {

// What became of one file, and the length the run was told.
struct Sieved {
    FileOutcome outcome;
    std::uint64_t length = 0;
    int lengthCalls = 0;
};

// Handles `name` of the folder `source` into the bucket `bucket` of the
// folder `destination` (both without a trailing '/'), in a run of its own.
// `duringLength` runs when the length is told; `stop` is the run's stop flag.
inline Sieved SieveOne(FileSystem& fs, const std::string& source, const std::string& destination,
                       const std::string& name, char bucket, TransferMode mode,
                       const std::function<void()>& duringLength = {}, const std::atomic<bool>* stop = nullptr)
{
    Sieved result;
    auto folders = fs.openRun(source + "/", destination + "/");
    result.outcome = folders->sieveFile(
        name, bucket, mode,
        [&](std::uint64_t bytes) {
            result.length = bytes;
            ++result.lengthCalls;
            if (duringLength)
                duringLength();
        },
        stop);
    return result;
}

inline const char* ModeName(TransferMode mode)
{
    return mode == TransferMode::Copy ? "copy" : "move";
}

inline std::set<std::string> ListAll(FileSystem& fs, const std::string& folder, FsStatus* status = nullptr)
{
    std::set<std::string> names;
    auto listing = fs.listFiles(folder);
    for (std::string name = listing->next(); !name.empty(); name = listing->next())
        names.insert(name);
    EXPECT_EQ(listing->next(), "") << "a finished listing stays finished";
    if (status != nullptr)
        *status = listing->status();
    return names;
}

inline struct stat LinkStat(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

// A second file system, as CI has it: a tmpfs mounted as root. Elsewhere
// the cases that need one are left out.
#define QUILLBOX_NEED_TMPFS(mount)                                                                                     \
    do {                                                                                                               \
        if (!(mount).mounted()) {                                                                                      \
            ASSERT_NE(::geteuid(), 0u) << "root must be able to mount a tmpfs";                                        \
            GTEST_SKIP() << "needs root to mount a tmpfs";                                                             \
        }                                                                                                              \
    } while (false)

} // namespace quillbox::test
