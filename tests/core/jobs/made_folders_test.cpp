// SPDX-License-Identifier: GPL-3.0-or-later
// The bucket folders a run makes: each on record before it has its name,
// never one another program made, and taken back by an undo.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tests/core/undo_world.h"

namespace quillbox::test {
namespace {

// A bucket folder the run made is journaled by which folder it is, so that
// an undo removes it once empty. A look at it that fails is taken once
// more; one that fails again is said, as the folder then stays.
TEST(MadeFolders, ALookThatFailsIsTakenAgainOrSaid)
{
    for (const int failing : {1, 2}) {
        SCOPED_TRACE(failing == 1 ? "once" : "for good");
        UndoWorld w;
        w.source.write("apple", "a");
        int failed = 0;
        std::string bucketB; // B as it is looked at: under its private name
        w.fs.beforeFolderNoted = [&](const std::string& path, const std::string& madeAs) {
            if (path == w.destination / "B")
                bucketB = madeAs;
        };
        w.fs.identityFault = [&](const std::string& path) {
            if (path != bucketB || failed == failing)
                return 0;
            ++failed;
            return EIO;
        };
        w.controls.mode.store(TransferMode::Move);

        EXPECT_EQ(w.journaled.run(RunSettings {w.sourcePath, w.destinationPath, true}, w.controls), RunEnd::Completed);
        const std::string said = "The folder " + (w.destination / "B") +
            " was made but could not be looked at (Input/output error): "
            "it cannot be taken back.";
        EXPECT_EQ(w.MessagesStartingWith("The folder"),
                  failing == 1 ? std::vector<std::string> {} : std::vector<std::string> {said});
        EXPECT_EQ(failed, failing);

        EXPECT_EQ(w.undo.run({}, w.controls), UndoEnd::TakenBack);
        EXPECT_EQ(w.source.names(), std::set<std::string> {"apple"});
        EXPECT_EQ(w.destination.names(), failing == 1 ? std::set<std::string> {} : std::set<std::string> {"B"});
    }
}

// A bucket folder is on record before it has its name: made under a
// private name, noted, then named. A run killed at any moment leaves no
// folder by a bucket's name that its journal does not hold.
TEST(MadeFolders, EachIsOnRecordBeforeItHasItsName)
{
    UndoWorld w;
    w.source.write("apple", "a");
    w.source.write("zebra", "z");
    std::uint64_t noted = 0;
    w.fs.afterFolderNoted = [&](const std::string& path, const std::string& madeAs) {
        EXPECT_FALSE(Exists(path)) << "not named before it is noted";
        EXPECT_TRUE(Exists(madeAs));
        EXPECT_TRUE(madeAs.find("/.quillbox-") != std::string::npos) << madeAs;
        // What a kill now would leave: the journal on disk names it.
        const std::vector<JournalSummary> runs = w.journals.list();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs.front().folders, ++noted);
    };
    w.controls.mode.store(TransferMode::Move);

    EXPECT_EQ(w.journaled.run(RunSettings {w.sourcePath, w.destinationPath, true}, w.controls), RunEnd::Completed);
    EXPECT_EQ(noted, 27u);
    EXPECT_EQ(w.destination.names().size(), 27u) << "every bucket under its name, nothing private left";
    EXPECT_TRUE(Exists(w.destination / "Z/zebra"));

    EXPECT_EQ(w.undo.run({}, w.controls), UndoEnd::TakenBack);
    EXPECT_EQ(w.source.names(), (std::set<std::string> {"apple", "zebra"}));
    EXPECT_EQ(w.destination.names(), std::set<std::string> {});
}

// Another program that makes a bucket's folder while the run is making it
// keeps it: the run's own goes again, and its files go into that folder;
// an undo takes the files back and leaves the folder the run did not make.
// A bucket there before the run is neither made again nor noted.
TEST(MadeFolders, OneMadeMeanwhileByAnotherIsNotTakenOver)
{
    UndoWorld w;
    w.source.write("apple", "a");
    w.source.write("berry", "b");
    w.destination.mkdir("A");
    w.fs.beforeFolderNoted = [&](const std::string& path, const std::string&) {
        EXPECT_NE(path, w.destination / "A") << "a bucket there already is not made";
    };
    w.fs.afterFolderNoted = [&](const std::string& path, const std::string&) {
        if (path == w.destination / "B") {
            w.destination.mkdir("B");
            w.destination.write("B/theirs", "kept");
        }
    };
    w.controls.mode.store(TransferMode::Move);

    EXPECT_EQ(w.journaled.run(RunSettings {w.sourcePath, w.destinationPath, true}, w.controls), RunEnd::Completed);
    EXPECT_EQ(w.destination.names().size(), 27u) << "no private folder left";
    EXPECT_EQ(ReadFile(w.destination / "B/theirs"), "kept");
    EXPECT_TRUE(Exists(w.destination / "B/berry"));

    EXPECT_EQ(w.undo.run({}, w.controls), UndoEnd::TakenBack);
    EXPECT_EQ(w.source.names(), (std::set<std::string> {"apple", "berry"}));
    EXPECT_EQ(w.destination.names(), (std::set<std::string> {"A", "B"}));
    EXPECT_EQ(ReadFile(w.destination / "B/theirs"), "kept");
}

// Where the folder cannot take its name by a rename (a file system that
// will not rename folders, or a failing call), it is made under its name
// and noted right after: made all the same, and taken back.
TEST(MadeFolders, OneThatCannotBeRenamedIsMadeUnderItsNameAndNoted)
{
    UndoWorld w;
    w.source.write("apple", "a");
    w.fs.noReplaceError = EIO; // a copy places its files by a link
    int noted = 0;
    w.fs.afterFolderNoted = [&](const std::string& path, const std::string& madeAs) {
        noted += madeAs == path;
        EXPECT_EQ(Exists(path), madeAs == path);
    };
    w.controls.mode.store(TransferMode::Copy);

    EXPECT_EQ(w.journaled.run(RunSettings {w.sourcePath, w.destinationPath, true}, w.controls), RunEnd::Completed);
    EXPECT_EQ(noted, 27);
    EXPECT_EQ(w.destination.names().size(), 27u) << "every bucket under its name, nothing private left";
    EXPECT_EQ(ReadFile(w.destination / "A/apple"), "a");

    w.fs.noReplaceError = 0;
    EXPECT_EQ(w.undo.run({}, w.controls), UndoEnd::TakenBack);
    EXPECT_EQ(w.destination.names(), std::set<std::string> {});
}

} // namespace
} // namespace quillbox::test
