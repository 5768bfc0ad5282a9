// SPDX-License-Identifier: GPL-3.0-or-later
// The preview and then the real run over the same folders, for failures
// only the act itself meets (flags, the sticky rule, reading across file
// systems, room on the destination): the run must fail exactly the files
// the preview named, in the same order, for the same reasons.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <optional>

#include "core/jobs/sieve_preview.h"
#include "tests/core/run_world.h"

namespace quillbox::test {
namespace {

void Put(const std::string& path, std::size_t size)
{
    std::ofstream(path, std::ios::binary) << Pattern(size);
}

void Own(const std::string& path, uid_t uid, mode_t mode)
{
    ASSERT_EQ(::chown(path.c_str(), uid, uid), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

int ChangeFlags(const char* path, int add, int remove)
{
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int flags = 0;
    int result = fd >= 0 ? ::ioctl(fd, FS_IOC_GETFLAGS, &flags) : -1;
    if (result == 0 && ((flags & remove) != 0 || (flags | add) != flags)) {
        flags = (flags | add) & ~remove;
        result = ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0)
        ::close(fd);
    return result;
}

void AddFlag(const std::string& path, int flag)
{
    ASSERT_EQ(ChangeFlags(path.c_str(), flag, 0), 0) << "cannot set the flags of " << path;
}

int Unflag(const char* path, const struct stat* st, int, FTW*)
{
    if (S_ISREG(st->st_mode) || S_ISDIR(st->st_mode))
        ChangeFlags(path, 0, FS_IMMUTABLE_FL | FS_APPEND_FL);
    return 0;
}

// Takes the immutable and append-only flags off everything under the
// folders again, so that they can be removed.
struct Unflagger {
    std::vector<std::string> roots;
    ~Unflagger()
    {
        for (const std::string& root : roots)
            ::nftw(root.c_str(), Unflag, 16, FTW_PHYS);
    }
};

// Folders as a case arranges them: `to` is the destination, a tmpfs of
// the case's own where it asks for one.
struct Scene {
    std::string from;
    std::string to;
};

constexpr uid_t kOther = 4242;
constexpr uid_t kThird = 4343;

enum class Without : std::uint8_t { Nothing, Fowner, DacOverride };

struct Case {
    const char* name;
    bool move;
    bool createDirs;
    bool needsRoot;
    const char* tmpfs; // the destination's mount options; nullptr: beside the source
    Without without;   // capabilities the preview and run go without
    std::function<void(const Scene&)> arrange;
    std::size_t atLeast; // failures, so that a case that arranged nothing cannot pass
    const char* reason;  // that every failure gives; nullptr: any
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

const Case kCases[] = {
    {"an immutable and an append-only file moved", true, false, true, nullptr, Without::Nothing,
     [](const Scene& s) {
         ::mkdir((s.to + "/A").c_str(), 0755);
         ::mkdir((s.to + "/K").c_str(), 0755);
         for (const char* name : {"apple", "avocado", "kiwi"})
             Put(s.from + "/" + name, 10);
         AddFlag(s.from + "/apple", FS_IMMUTABLE_FL);
         AddFlag(s.from + "/kiwi", FS_APPEND_FL);
     },
     2, "Operation not permitted"},
    {"an append-only file moved into a bucket the run makes", true, true, true, nullptr, Without::Nothing,
     [](const Scene& s) {
         Put(s.from + "/apple", 10);
         AddFlag(s.from + "/apple", FS_APPEND_FL);
     },
     1, "Operation not permitted"},
    {"an immutable file moved to another file system", true, true, true, "1m", Without::Nothing,
     [](const Scene& s) {
         Put(s.from + "/apple", 5000);
         Put(s.from + "/kiwi", 5000);
         AddFlag(s.from + "/apple", FS_IMMUTABLE_FL);
     },
     1, "Operation not permitted"},
    {"immutable and append-only files copied over", false, false, true, nullptr, Without::Nothing,
     [](const Scene& s) {
         ::mkdir((s.to + "/A").c_str(), 0755);
         for (const char* name : {"apple", "avocado", "apricot"}) {
             Put(s.from + "/" + name, 10);
             Put(s.to + "/A/" + name, 20);
         }
         AddFlag(s.to + "/A/apple", FS_IMMUTABLE_FL);
         AddFlag(s.to + "/A/avocado", FS_APPEND_FL);
     },
     2, "Operation not permitted"},
    {"files of another user moved out of a sticky folder of a third", true, true, true, nullptr, Without::Fowner,
     [](const Scene& s) {
         for (const char* name : {"apple", "kiwi", "mine"})
             Put(s.from + "/" + name, 10);
         Own(s.from, kOther, 01777);
         Own(s.from + "/apple", kThird, 0644);
         Own(s.from + "/kiwi", kThird, 0644);
     },
     2, "Operation not permitted"},
    {"files of another user in a sticky bucket of a third, copied over", false, false, true, nullptr, Without::Fowner,
     [](const Scene& s) {
         ::mkdir((s.to + "/A").c_str(), 0755);
         Own(s.to + "/A", kOther, 01777);
         for (const char* name : {"apple", "avocado"}) {
             Put(s.from + "/" + name, 10);
             Put(s.to + "/A/" + name, 20);
         }
         Own(s.to + "/A/apple", kThird, 0666);
     },
     1, "Operation not permitted"},
    {"unreadable files moved to another file system", true, true, true, "1m", Without::DacOverride,
     [](const Scene& s) {
         for (const char* name : {"apple", "kiwi", "lime"})
             Put(s.from + "/" + name, 100);
         ::chmod((s.from + "/apple").c_str(), 0);
         ::chmod((s.from + "/lime").c_str(), 0200);
     },
     2, "Permission denied"},
    {"a move onto a taken name from a folder that may not be written", true, false, false, nullptr,
     Without::DacOverride,
     [](const Scene& s) {
         ::mkdir((s.to + "/A").c_str(), 0755);
         Put(s.to + "/A/apple", 10);
         Put(s.from + "/apple", 10);
         Put(s.from + "/avocado", 10);
         ::chmod(s.from.c_str(), 0555);
     },
     2, nullptr},
    {"no space for every copy; one replaces a larger file", false, true, true, "64k", Without::Nothing,
     [](const Scene& s) {
         ::mkdir((s.to + "/B").c_str(), 0755);
         Put(s.to + "/B/b0", 20000);
         Put(s.from + "/b0", 4000);
         for (const char* name : {"b1", "b2", "b3", "b4"})
             Put(s.from + "/" + name, 20000);
         Put(s.from + "/c", 3000);
         WriteSparse(s.from + "/d-sparse", 1 << 20);
     },
     1, "No space left on device"},
    {"no space for every move to another file system", true, false, true, "64k", Without::Nothing,
     [](const Scene& s) {
         ::mkdir((s.to + "/B").c_str(), 0755);
         for (const char* name : {"b1", "b2", "b3", "b4"})
             Put(s.from + "/" + name, 20000);
         Put(s.from + "/b5", 3000);
     },
     1, "No space left on device"},
    {"no inodes for every copy", false, true, true, "1m,nr_inodes=29", Without::Nothing,
     [](const Scene& s) {
         for (const char* name : {"apple", "kiwi", "zed", "1st"})
             Put(s.from + "/" + name, 10);
     },
     3, "No space left on device"},
    {"no inodes for every bucket the run makes, nor for every move", true, true, true, "1m,nr_inodes=21",
     Without::Nothing,
     [](const Scene& s) {
         ::symlink("apple", (s.from + "/link").c_str());
         for (const char* name : {"apple", "kiwi", "zed", "1st"})
             Put(s.from + "/" + name, 10);
     },
     5, nullptr},
};

class PreviewMatchesRun : public ::testing::TestWithParam<Case> {};

std::vector<std::string> RunFailures(const RunWorld& w)
{
    std::vector<std::string> out;
    for (const std::string& m : w.messages())
        if (m.rfind("Could not", 0) == 0 || m.rfind("Error while", 0) == 0)
            out.push_back(m);
    return out;
}

TEST_P(PreviewMatchesRun, TheRunFailsTheFilesThePreviewNamed)
{
    const Case& c = GetParam();
    const bool root = ::geteuid() == 0;
    if (c.needsRoot && !root)
        GTEST_SKIP() << "needs root";
    std::unique_ptr<TmpfsMount> mount;
    if (c.tmpfs != nullptr) {
        const std::string options = c.tmpfs;
        const std::size_t comma = options.find(',');
        mount = std::make_unique<TmpfsMount>(options.substr(0, comma),
                                             comma == std::string::npos ? "" : options.substr(comma + 1));
        ASSERT_TRUE(mount->mounted());
    }
    RunWorld w;
    w.move = c.move;
    w.createDirs = c.createDirs;
    if (mount)
        w.destinationPath = mount->path();
    Unflagger unflag {{w.sourcePath, w.destinationPath}};
    c.arrange({w.sourcePath, w.destinationPath});
    if (HasFatalFailure())
        return;

    std::optional<WithoutCapabilities> without;
    if (c.without == Without::Fowner)
        without.emplace(std::initializer_list<int> {CAP_FOWNER});
    else if (c.without == Without::DacOverride && root)
        without.emplace(std::initializer_list<int> {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
    if (without && !without->active())
        GTEST_SKIP() << "cannot drop the capabilities";

    RunControls controls;
    controls.mode = c.move ? TransferMode::Move : TransferMode::Copy;
    const RunSettings settings {w.sourcePath, w.destinationPath, c.createDirs};
    const PreviewPlan plan = PreviewRun(w.fs, settings, controls);
    w.Sieve();
    without.reset();

    const std::vector<std::string> failed = RunFailures(w);
    EXPECT_EQ(plan.failures, failed);
    EXPECT_GE(failed.size(), c.atLeast);
    const std::string reason = c.reason != nullptr ? std::string(". ") + c.reason + "." : ". ";
    for (const std::string& message : failed)
        EXPECT_NE(message.find(reason), std::string::npos) << message;
    w.ExpectEndedCleanly();
    ::chmod(w.sourcePath.c_str(), 0755);
}

INSTANTIATE_TEST_SUITE_P(Cases, PreviewMatchesRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return "Case" + std::to_string(info.index);
                         });

} // namespace
} // namespace quillbox::test
