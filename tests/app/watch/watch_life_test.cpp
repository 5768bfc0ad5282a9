// SPDX-License-Identifier: GPL-3.0-or-later
// quillbox --watch from start to end: undo while it watches and of its
// sessions, a burst beyond the event queue, the watched folder going away,
// the destination it makes, a stop mid-batch, its watch files and usage.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include "platform/journal_files.h"
#include "tests/app/watch/watch_world.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tmpfs_mount.h"

namespace quillbox::test {
namespace {

// --undo of a watch's batch while it watches: the files put back are left
// where they are until they change, and they stay when the watch starts
// again later; other arrivals are sorted meanwhile.
TEST(Watch, FilesTakenBackByUndoAreLeftUntilTheyChange)
{
    Watcher w;
    w.dir.write("in/apple", "a");
    const QStringList watch = {QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
                               QStringLiteral("--settle"), QStringLiteral("0.2")};
    w.start(watch);
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("A/apple")); })) << w.out << w.err;
    // The file is in its bucket a moment before its batch has ended and let
    // go of its journal; until then an undo refuses and changes nothing.
    std::string said;
    int status = -1;
    ASSERT_TRUE(w.waitFor([&] {
        said.clear();
        status = w.other({QStringLiteral("--undo")}, &said);
        return status != 1 || said.find("is still going") == std::string::npos;
    })) << said;
    ASSERT_EQ(status, 0) << said;
    ASSERT_TRUE(Exists(w.in("apple")));
    // A file that arrives after it is sorted; by then the one put back has
    // been quiet for long enough, and was left.
    w.dir.write("in/later", "l");
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("L/later")); })) << w.out << w.err;
    EXPECT_TRUE(Exists(w.in("apple"))) << "sorted straight back";

    // Changed, it is a file like any other.
    std::ofstream(w.in("apple"), std::ios::app) << "pie";
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("A/apple")); })) << w.out << w.err;
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);

    // Taken back while no watch runs: the next watch leaves it too.
    ASSERT_EQ(w.other({QStringLiteral("--undo")}, &said), 0) << said;
    ASSERT_EQ(ReadFile(w.in("apple")), "apie");
    w.out.clear();
    w.start(watch);
    w.dir.write("in/last", "l");
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("L/last")); })) << w.out << w.err;
    EXPECT_TRUE(Exists(w.in("apple"))) << "sorted again by the next watch";
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);
}

// --undo --session takes back every batch of the watch begun last, and
// nothing of an earlier one.
TEST(Watch, UndoSessionTakesBackEveryBatchOfTheLastWatch)
{
    Watcher w;
    const QStringList watch = {QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
                               QStringLiteral("--settle"), QStringLiteral("0.2")};
    w.dir.write("in/earlier", "e");
    w.start(watch);
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("E/earlier")); })) << w.out << w.err;
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);

    w.out.clear();
    w.start(watch);
    for (const char* name : {"apple", "berry", "cherry"}) {
        w.dir.write(std::string("in/") + name, name);
        ASSERT_TRUE(w.waitFor([&] { return w.dir.names("in").empty(); })) << w.out << w.err;
    }
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);

    std::string said;
    EXPECT_EQ(w.other({QStringLiteral("--undo"), QStringLiteral("--session")}, &said), 0) << said;
    EXPECT_EQ(w.dir.names("in"), (std::set<std::string> {"apple", "berry", "cherry"})) << said;
    EXPECT_TRUE(Exists(w.out_("E/earlier"))) << "an earlier watch's batch stays";
    EXPECT_EQ(w.other({QStringLiteral("--undo"), QStringLiteral("--session")}, &said), 2);
    EXPECT_NE(said.find("nothing left to take back"), std::string::npos) << said;

    for (const QStringList& wrong :
         {QStringList {QStringLiteral("--session")},
          QStringList {QStringLiteral("--undo"), QStringLiteral("1"), QStringLiteral("--session")}}) {
        EXPECT_EQ(w.other(wrong, &said), 2);
        EXPECT_NE(said.find("--session goes with --undo and no RUN"), std::string::npos) << said;
    }
}

// More events at once than the kernel queues: the folder is looked at
// whole, and every file is sorted. As root the queue is made small for the
// watcher; otherwise more files than the usual limit arrive.
TEST(Watch, BurstBeyondTheEventQueueIsSortedWhole)
{
    const char* limitFile = "/proc/sys/fs/inotify/max_queued_events";
    std::string limit;
    std::ifstream(limitFile) >> limit;
    Watcher w;
    bool lowered = false;
    if (::geteuid() == 0) {
        std::ofstream(limitFile) << "256\n";
        std::string now;
        std::ifstream(limitFile) >> now;
        lowered = now == "256";
    }
    // The limit counts when the watch is made, at start-up.
    w.start({QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
             QStringLiteral("--settle"), QStringLiteral("0.2")});
    if (lowered)
        std::ofstream(limitFile) << limit << "\n";
    const int files = lowered ? 3000 : std::stoi(limit) + 4000;
    for (int i = 0; i < files; ++i)
        w.dir.write("in/f" + std::to_string(i), "x");
    const auto sorted = [&] { return w.dir.names("in").empty() && w.dir.names("out/F").size() == std::size_t(files); };
    EXPECT_TRUE(w.waitFor(sorted, 300000)) << w.dir.names("in").size() << " left; " << w.err;
    EXPECT_NE(w.out.find("Too many changes at once"), std::string::npos);
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);
}

// The watched folder going away ends the watch with status 1 and says so.
TEST(Watch, FolderGoingAwayEndsWithStatusOne)
{
    struct Case {
        const char* how;
        bool remove; // or rename
        const char* said;
    };
    for (const Case& c : {Case {"removed", true, "was removed"}, Case {"renamed", false, "was moved or renamed"}}) {
        Watcher w;
        w.start(
            {QStringLiteral("--watch"), QStringLiteral("--copy"), QStringLiteral("--settle"), QStringLiteral("0.2")});
        if (c.remove)
            ASSERT_EQ(::rmdir(w.in("").c_str()), 0);
        else
            ASSERT_EQ(::rename(w.in("").c_str(), (w.dir / "elsewhere").c_str()), 0);
        EXPECT_EQ(w.finish(), 1) << c.how;
        EXPECT_NE(w.err.find(c.said), std::string::npos) << c.how << ": " << w.err;
    }
}

// The watched folder's file system unmounted under the watcher: said so,
// status 1.
TEST(Watch, FolderUnmountedEndsWithStatusOne)
{
    TmpfsMount mount("1m");
    if (!mount.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    Watcher w;
    w.start({QStringLiteral("--watch"), QStringLiteral("--copy"), QStringLiteral("--settle"), QStringLiteral("0.2"),
             Q(mount.path()), Q(w.dir / "out")},
            false);
    ASSERT_EQ(::umount2(mount.path().c_str(), 0), 0) << "the watcher keeps nothing of it open";
    EXPECT_EQ(w.finish(), 1);
    EXPECT_NE(w.err.find("was unmounted"), std::string::npos) << w.err;
}

// A destination --create-dirs is to make is made for the first batch: a
// watch that ends before one, stopped or killed, leaves nothing made. One
// made under a linked parent is the one its session's undo removes again.
TEST(Watch, DestinationIsMadeForTheFirstBatchAndOnlyThen)
{
    const QStringList watch = {QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
                               QStringLiteral("--settle"), QStringLiteral("0.2")};
    for (const int signal : {SIGTERM, SIGKILL}) {
        Watcher w;
        const std::string made = w.dir / "made";
        w.start(watch + QStringList {Q(w.in("")), Q(made)}, false);
        EXPECT_EQ(w.out.find("Made the destination"), std::string::npos) << w.out;
        w.signal(signal);
        EXPECT_EQ(w.finish(), signal == SIGTERM ? 143 : -1);
        EXPECT_FALSE(Exists(made)) << signal;
    }

    Watcher w;
    w.dir.mkdir("real");
    ASSERT_EQ(::symlink((w.dir / "real").c_str(), (w.dir / "link").c_str()), 0);
    w.dir.write("in/apple", "a");
    w.start(watch + QStringList {Q(w.in("")), Q(w.dir / "link/made")}, false);
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.dir / "real/made/A/apple"); })) << w.out << w.err;
    EXPECT_NE(w.out.find("Made the destination folder " + (w.dir / "link/made/") + "."), std::string::npos) << w.out;
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);
    std::string undone;
    EXPECT_EQ(w.other({QStringLiteral("--undo"), QStringLiteral("--session")}, &undone), 0) << undone;
    EXPECT_TRUE(Exists(w.in("apple"))) << undone;
    EXPECT_FALSE(Exists(w.dir / "real/made")) << undone;
}

// SIGTERM while a batch is being sorted: it stops between two files with
// 143, and the batch's journal takes back what it placed.
TEST(Watch, StopSignalMidBatchEndsBetweenFilesWithItsJournalKept)
{
    Watcher w;
    for (int i = 0; i < 10000; ++i)
        w.dir.write("in/f" + std::to_string(i), "x");
    w.start({QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
             QStringLiteral("--settle"), QStringLiteral("0.2")});
    ASSERT_TRUE(w.waitFor([&] { return !w.dir.names("out/F").empty(); })) << w.out << w.err;
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143) << w.err;
    EXPECT_NE(w.out.find("Processing aborted by user."), std::string::npos) << w.out;
    const std::size_t moved = w.dir.names("out/F").size();
    EXPECT_EQ(moved + w.dir.names("in").size(), 10000u) << "nothing lost or half-done";

    std::string undone;
    EXPECT_EQ(w.other({QStringLiteral("--undo")}, &undone), 0) << undone;
    EXPECT_EQ(w.dir.names("in").size(), 10000u);
}

// A watch file, as the service reads it.
TEST(Watch, WatchFileGivesTheFoldersAndTheMode)
{
    Watcher w;
    w.dir.mkdir("config/quillbox");
    w.dir.mkdir("config/quillbox/watch");
    w.dir.write("config/quillbox/watch/test.conf",
                "# sorted as it arrives\n"
                "mode = move\n"
                "source = " +
                    w.in("") +
                    "\n"
                    "destination=" +
                    w.out_("") +
                    "\n"
                    "create-dirs = yes\n"
                    "settle = 0.2\n"
                    "ignore = *.iso\n");
    w.dir.write("in/kiwi", "k");
    w.dir.write("in/cd.iso", "i");
    w.start({QStringLiteral("--watch-config"), QStringLiteral("test")}, false);
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("K/kiwi")); })) << w.out << w.err;
    EXPECT_FALSE(Exists(w.in("kiwi"))) << "moved";
    w.signal(SIGHUP);
    EXPECT_EQ(w.finish(), 129);
    EXPECT_TRUE(Exists(w.in("cd.iso")));
}

TEST(Watch, BadUsageIsRefusedWithStatusTwo)
{
    Watcher w;
    w.dir.mkdir("config/quillbox");
    w.dir.mkdir("config/quillbox/watch");
    w.dir.write("config/quillbox/watch/odd.conf", "mode = move\nsource = /tmp\ndestination = /tmp\ncolour = red\n");
    w.dir.write("config/quillbox/watch/short.conf", "mode = move\nsource = /tmp\n");
    const std::string in = w.in(""), out = w.out_("");
    const std::vector<std::pair<QStringList, std::string>> cases = {
        {{"--watch", Q(in), Q(out)}, "say --copy or --move"},
        {{"--copy", "--settle", "1", Q(in), Q(out)}, "go with --watch"},
        {{"--watch", "--copy", "--settle", "1,5", Q(in), Q(out)}, "--settle takes seconds"},
        {{"--watch", "--copy", "--settle", "86401", Q(in), Q(out)}, "--settle takes seconds"},
        {{"--watch", "--copy", Q(in), Q(out), "--settle"}, "needs a value"},
        {{"--watch", "--move", "--dry-run", Q(in), Q(out)}, "--watch goes with neither"},
        {{"--watch-config", "test", Q(in)}, "--watch-config takes a name"},
        {{"--watch-config", "none"}, "none.conf: No such file"},
        {{"--watch-config", "../escape"}, "not a plain name"},
        {{"--watch-config", "odd"}, "odd.conf:4: unknown key"},
        {{"--watch-config", "short"}, "all needed"},
        {{"--watch", "--copy", Q(w.dir / "missing"), Q(out)}, "No such file"},
    };
    for (const auto& [arguments, said] : cases) {
        std::string output;
        EXPECT_EQ(w.other(arguments, &output), 2) << arguments.join(' ').toStdString();
        EXPECT_NE(output.find(said), std::string::npos) << arguments.join(' ').toStdString() << ": " << output;
    }
}

} // namespace
} // namespace quillbox::test
