// SPDX-License-Identifier: GPL-3.0-or-later
// The preview against the run itself, on folders with every kind of
// failure: it changes nothing, and the run that follows names exactly the
// failures the preview named.
#include <gtest/gtest.h>

#include <ftw.h>
#include <sys/stat.h>

#include <map>

#include "core/jobs/sieve_preview.h"
#include "tests/core/run_world.h"

namespace quillbox::test {
namespace {

// Every name under a folder with its type, size, mode and times: what a
// preview must leave exactly as it was.
std::map<std::string, std::string> g_tree;
int Record(const char* path, const struct stat* st, int, FTW*)
{
    g_tree[path] = std::to_string(st->st_mode) + "/" + std::to_string(st->st_size) + "/" +
        std::to_string(st->st_mtim.tv_nsec) + "/" + std::to_string(st->st_ctim.tv_nsec);
    return 0;
}
std::map<std::string, std::string> Tree(const std::string& root)
{
    g_tree.clear();
    ::nftw(root.c_str(), Record, 16, FTW_PHYS);
    return g_tree;
}

// Source files and destination folders that fail in every way a run knows
// of; and some that succeed.
void Arrange(RunWorld& w)
{
    for (const char* name : {"apple", "avocado", "cherry", "date", "egg", "fig", "grape", "kiwi", "lime", "zed", "1st"})
        w.source.write(name, std::string("data of ") + name);
    w.destination.mkdir("A");
    w.destination.write("A/apple", "old");    // a move onto a file: refused; a copy replaces it
    w.destination.mkdir("A/avocado");         // a folder in the way of either
    w.destination.write("C", "not a folder"); // a bucket that is a file
    w.destination.mkdir("D");
    ::chmod((w.destination / "D").c_str(), 0555); // a bucket without write permission
    TempDir elsewhere;
    MakeSymlink(elsewhere.path(), w.destination / "E"); // a bucket through a link
    ::chmod((w.source / "fig").c_str(), 0);             // a copy cannot read it; a move takes it
    w.destination.mkdir("Z");
    // G, K and L are missing: made first, or failed into.
}

TEST(Preview, NamesTheFailuresOfTheRunThatFollowsAndChangesNothing)
{
    // Every case needs the permission bits to bind: all run, or none.
    if (WithoutDacOverride probe; !probe.active() && ::geteuid() == 0)
        GTEST_SKIP() << "cannot drop CAP_DAC_OVERRIDE";
    for (const bool move : {false, true}) {
        for (const bool createDirs : {false, true}) {
            SCOPED_TRACE(std::string(move ? "move" : "copy") + (createDirs ? ", making the buckets" : ""));
            RunWorld w;
            Arrange(w);
            w.move = move;
            w.createDirs = createDirs;
            WithoutDacOverride noOverride;

            const auto sourceBefore = Tree(w.source.path());
            const auto destinationBefore = Tree(w.destination.path());
            RunControls controls;
            controls.mode = move ? TransferMode::Move : TransferMode::Copy;
            const RunSettings settings {w.sourcePath, w.destinationPath, createDirs};
            const PreviewPlan plan = PreviewRun(w.fs, settings, controls);
            EXPECT_EQ(Tree(w.source.path()), sourceBefore);
            EXPECT_EQ(Tree(w.destination.path()), destinationBefore);

            w.Sieve();
            std::vector<std::string> previewed = plan.failures;
            std::sort(previewed.begin(), previewed.end());
            std::vector<std::string> logged = w.MessagesStartingWith("Could not");
            const std::vector<std::string> errors = w.MessagesStartingWith("Error while");
            logged.insert(logged.end(), errors.begin(), errors.end());
            std::sort(logged.begin(), logged.end());
            EXPECT_EQ(previewed, logged);
            EXPECT_GE(previewed.size(), createDirs ? 4u : 7u) << "every kind of failure is there";
            EXPECT_EQ(plan.files, 11u);
            std::uint64_t arriving = 0;
            for (const PreviewPlan::Bucket& bucket : plan.buckets)
                arriving += bucket.files;
            EXPECT_EQ(arriving, plan.files - plan.failures.size());
            ::chmod((w.destination / "D").c_str(), 0755);
        }
    }
}

} // namespace
} // namespace quillbox::test
