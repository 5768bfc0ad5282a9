// SPDX-License-Identifier: GPL-3.0-or-later
// What scripts/bench-desktop.sh needs done to files while the program runs
// under a desktop session: the folders prepared, the anchor timed, and the
// moment the last file of a run arrives.
//
//   quillbox_bench --desktop make-pool POOL FILES
//   quillbox_bench --desktop fresh move|copy POOL SOURCE DESTINATION [buckets]
//   quillbox_bench --desktop touch BYTES
//   quillbox_bench --desktop anchor move|copy SOURCE DESTINATION TOUCH_BYTES  (prints its start)
//   quillbox_bench --desktop watch move|copy SOURCE DESTINATION FILES BOUND_SECONDS

#include "bench/desktop_helper.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include "bench/raw_loops.h"
#include "bench/workload.h"

namespace quillbox::bench {

namespace {

// tmpfs counts a folder's size as 20 bytes per entry over 40 for an empty
// one: a stat tells how many names it holds without reading it, and
// without taking the lock the run's renames take.
constexpr long long kTmpfsEmptyFolder = 40;
constexpr long long kTmpfsEntry = 20;

long long EntriesOf(const std::string& folder)
{
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return 0;
    return (static_cast<long long>(st.st_size) - kTmpfsEmptyFolder) / kTmpfsEntry;
}

bool OnTmpfs(const std::string& folder)
{
    struct statfs fs {};
    return ::statfs(folder.c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

// Waits until the last file of a run has arrived and prints the moment, in
// seconds on the monotonic clock (the clock Python's time.monotonic()
// reads). A move has ended when its source holds no names; a copy when the
// bucket folders hold all of them. A copy's last name shows as its
// temporary file, one file's copy (some microseconds) before it is renamed
// into place.
int Watch(bool move, const std::string& source, const std::string& destination, long long files, double bound)
{
    const std::string watched = move ? source : destination;
    if (!OnTmpfs(watched)) {
        std::fprintf(stderr, "%s is not on a tmpfs: cannot watch it by its size\n", watched.c_str());
        return 1;
    }
    std::vector<std::string> buckets;
    for (char c = 'A'; c <= 'Z'; ++c)
        buckets.push_back(destination + "/" + c);
    buckets.push_back(destination + "/#");
    const auto arrived = [&] {
        if (move)
            return EntriesOf(source) == 0;
        long long entries = 0;
        for (const std::string& bucket : buckets)
            entries += EntriesOf(bucket);
        return entries >= files;
    };
    std::printf("ready\n");
    std::fflush(stdout);
    const double until = Now() + bound;
    const timespec step {0, 500 * 1000};
    while (!arrived()) {
        if (Now() > until) {
            std::fprintf(stderr, "the files did not arrive within %.0f s\n", bound);
            return 2;
        }
        ::nanosleep(&step, nullptr);
    }
    std::printf("%.6f\n", Now());
    std::fflush(stdout);
    return 0;
}

} // namespace

int DesktopHelper(int argc, char** argv)
{
    const std::string command = argc > 2 ? argv[2] : "";
    const auto arg = [&](int i) { return i < argc ? std::string(argv[i]) : std::string(); };
    const bool move = arg(3) == "move";
    if (command == "make-pool" && argc == 5) {
        RemoveTree(arg(3));
        MakeSmallFiles(arg(3), std::atoi(argv[4]), 4096, 12345);
        SyncAll();
        return 0;
    }
    if (command == "fresh" && (argc == 7 || argc == 8)) {
        const std::string pool = arg(4), source = arg(5), destination = arg(6);
        RemoveTree(destination);
        if (move) {
            RemoveTree(source);
            LinkFiles(pool, source);
        }
        MakeFolder(destination);
        if (arg(7) == "buckets")
            MakeBuckets(destination);
        SyncAll();
        return 0;
    }
    if (command == "touch" && argc == 4) {
        TouchMemory(std::strtoull(argv[3], nullptr, 10));
        return 0;
    }
    if (command == "anchor" && argc == 7) {
        const std::string source = arg(4), destination = arg(5);
        TouchMemory(std::strtoull(argv[6], nullptr, 10));
        // The moment the anchor starts, on the clock the arrival watch
        // reads: it is timed to the arrival of its last file, the same way
        // as the program.
        const double start = Now();
        ReaddirPass(source);
        if (move)
            RawMove(source, destination);
        else
            RawSafeCopyKeepingTimes(source, destination);
        std::printf("%.6f\n", start);
        return 0;
    }
    if (command == "watch" && argc == 8)
        return Watch(move, arg(4), arg(5), std::atoll(argv[6]), std::atof(argv[7]));
    std::fprintf(stderr, "quillbox_bench --desktop: unknown command or wrong arguments\n");
    return 1;
}

} // namespace quillbox::bench
