// SPDX-License-Identifier: GPL-3.0-or-later
// quillbox --watch driven as a user or a service drives it: the built
// program watching a real folder through inotify, files arriving in it the
// ways programs write them, and the folders looked at as they change.
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

// A file that is there from the start is sorted, then one renamed into the
// folder; partial downloads and ignored names stay; each batch is a run of
// its own, so --undo takes back the latest only.
// A bucket folder removed meanwhile is made again.
TEST(Watch, SortsWhatIsThereThenFilesRenamedInEachBatchARun)
{
    Watcher w;
    w.dir.write("in/apple", "a");
    w.start({QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
             QStringLiteral("--settle"), QStringLiteral("0.2"), QStringLiteral("--ignore"), QStringLiteral("*.iso")});
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("A/apple")); })) << w.out << w.err;

    // A bucket folder that went away is made again for the next batch.
    ASSERT_EQ(::rmdir(w.out_("B").c_str()), 0);
    // Partial or ignored names first, then a file renamed in: by the time
    // it is sorted, the others have been quiet long enough to be taken.
    for (const char* name : {"movie.part", "setup.crdownload", "disk.iso", "notes.tmp"})
        w.dir.write(std::string("in/") + name, "partial");
    w.dir.write("berry.new", "b");
    ASSERT_EQ(::rename((w.dir / "berry.new").c_str(), w.in("berry").c_str()), 0);
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("B/berry")); })) << w.out << w.err;
    EXPECT_EQ(w.dir.names("in"), (std::set<std::string> {"disk.iso", "movie.part", "notes.tmp", "setup.crdownload"}));

    w.signal(SIGINT);
    EXPECT_EQ(w.finish(), 130) << w.err;
    std::string undone;
    EXPECT_EQ(w.other({QStringLiteral("--undo")}, &undone), 0) << undone;
    EXPECT_TRUE(Exists(w.in("berry"))) << "the latest batch is taken back";
    EXPECT_TRUE(Exists(w.out_("A/apple"))) << "the batch before it is not";
}

// A file held open for writing past the settle time is not taken until the
// writer closes it, however quiet it is meanwhile.
TEST(Watch, FileHeldOpenForWritingWaitsUntilClosed)
{
    Watcher w;
    w.start({QStringLiteral("--watch"), QStringLiteral("--copy"), QStringLiteral("--create-dirs"),
             QStringLiteral("--settle"), QStringLiteral("0.2")});
    const int held = ::open(w.in("held").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::write(held, "first half", 10), 10);
    // A file that arrives after it settles after it: once that one is
    // sorted, the held one has been looked at and kept back.
    w.dir.write("in/later", "l");
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("L/later")); })) << w.out << w.err;
    EXPECT_FALSE(Exists(w.out_("H/held")));

    ASSERT_EQ(::write(held, " and the rest", 13), 13);
    ::close(held);
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("H/held")); })) << w.out << w.err;
    EXPECT_EQ(ReadFile(w.out_("H/held")), "first half and the rest");
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);
}

// Writers the watcher cannot see in the process table, or that write
// through a mapping with no descriptor left open, keep a file back as long
// as they may write: the kernel refuses the watcher a lease on it.
TEST(Watch, FileWrittenByAnotherUserOrThroughAMappingWaitsForItsWriter)
{
    // Through a shared writable mapping, its descriptor closed at once.
    {
        Watcher w;
        w.start({QStringLiteral("--watch"), QStringLiteral("--copy"), QStringLiteral("--create-dirs"),
                 QStringLiteral("--settle"), QStringLiteral("0.2")});
        constexpr std::size_t kSize = 1 << 20;
        const int fd = ::open(w.in("mapped").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, kSize), 0);
        void* map = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        ASSERT_NE(map, MAP_FAILED);
        std::memset(map, 'a', kSize / 2);
        // Once a file that arrives after it is sorted, the mapped one has
        // been due, and was kept back.
        w.dir.write("in/later", "l");
        ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("L/later")); })) << w.out << w.err;
        EXPECT_FALSE(Exists(w.out_("M/mapped"))) << "taken half-written";
        std::memset(static_cast<char*>(map) + kSize / 2, 'b', kSize / 2);
        ASSERT_EQ(::munmap(map, kSize), 0);
        // Nothing tells of the mapping going: the file is asked about again.
        ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("M/mapped")); })) << w.out << w.err;
        EXPECT_EQ(ReadFile(w.out_("M/mapped")), std::string(kSize / 2, 'a') + std::string(kSize / 2, 'b'));
        w.signal(SIGTERM);
        EXPECT_EQ(w.finish(), 143);
    }
    // By a process of another user, which the watcher's user cannot look
    // into: the watcher runs as "nobody", the writer as root.
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "a writer of another user needs root and the user nobody";
    Watcher w;
    w.runAs(*nobody);
    w.start({QStringLiteral("--watch"), QStringLiteral("--copy"), QStringLiteral("--create-dirs"),
             QStringLiteral("--settle"), QStringLiteral("0.2")});
    const int fd = ::open(w.in("rooted").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchown(fd, nobody->pw_uid, nobody->pw_gid), 0) << "the watcher's own file";
    const std::string half(100000, 'x');
    ASSERT_EQ(::write(fd, half.data(), half.size()), static_cast<ssize_t>(half.size()));
    w.dir.write("in/later", "l");
    ::chown(w.in("later").c_str(), nobody->pw_uid, nobody->pw_gid);
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("L/later")); })) << w.out << w.err;
    EXPECT_FALSE(Exists(w.out_("R/rooted"))) << "taken half-written";
    ASSERT_EQ(::write(fd, half.data(), half.size()), static_cast<ssize_t>(half.size()));
    ::close(fd);
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("R/rooted")); })) << w.out << w.err;
    EXPECT_EQ(ReadFile(w.out_("R/rooted")).size(), 2 * half.size());
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);

    // And the other way round: the watcher as root, the writer a process of
    // "nobody", which writes half, waits to be told, and writes the rest.
    Watcher r;
    ASSERT_EQ(::chmod(r.in("").c_str(), 0777), 0);
    ::chmod(r.dir.path().c_str(), 0755);
    r.start({QStringLiteral("--watch"), QStringLiteral("--copy"), QStringLiteral("--create-dirs"),
             QStringLiteral("--settle"), QStringLiteral("0.2")});
    int wrote[2], goOn[2];
    ASSERT_EQ(::pipe(wrote), 0);
    ASSERT_EQ(::pipe(goOn), 0);
    const std::string path = r.in("nobodys");
    const pid_t writer = ::fork();
    if (writer == 0) {
        char go = 0;
        const bool ok = ::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0;
        const int out = ok ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644) : -1;
        if (out < 0 || ::write(out, half.data(), half.size()) != static_cast<ssize_t>(half.size()) ||
            ::write(wrote[1], "w", 1) != 1 || ::read(goOn[0], &go, 1) != 1 ||
            ::write(out, half.data(), half.size()) != static_cast<ssize_t>(half.size()))
            ::_exit(1);
        ::_exit(::close(out) == 0 ? 0 : 1);
    }
    ASSERT_GT(writer, 0);
    char got = 0;
    ASSERT_EQ(::read(wrote[0], &got, 1), 1);
    r.dir.write("in/later", "l");
    ASSERT_TRUE(r.waitFor([&] { return Exists(r.out_("L/later")); })) << r.out << r.err;
    EXPECT_FALSE(Exists(r.out_("N/nobodys"))) << "taken half-written";
    ASSERT_EQ(::write(goOn[1], "g", 1), 1);
    int status = -1;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_EQ(status, 0);
    for (const int fd : {wrote[0], wrote[1], goOn[0], goOn[1]})
        ::close(fd);
    ASSERT_TRUE(r.waitFor([&] { return Exists(r.out_("N/nobodys")); })) << r.out << r.err;
    EXPECT_EQ(ReadFile(r.out_("N/nobodys")).size(), 2 * half.size()) << "a copy is never half-written under its name";
    r.signal(SIGTERM);
    EXPECT_EQ(r.finish(), 143);
}

// Files that arrive with no close told in the folder: linked in, or
// renamed in, while their writer holds them open elsewhere and lets go
// later. They are sorted once it has, never forgotten.
TEST(Watch, FilesLinkedOrRenamedInWhileHeldAreSortedOnceLetGo)
{
    Watcher w;
    w.start({QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
             QStringLiteral("--settle"), QStringLiteral("0.2")});
    const int linked = ::open((w.dir / "linked").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const int renamed = ::open((w.dir / "renamed").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(linked, 0);
    ASSERT_GE(renamed, 0);
    ASSERT_EQ(::write(linked, "link", 4), 4);
    ASSERT_EQ(::write(renamed, "rename", 6), 6);
    ASSERT_EQ(::link((w.dir / "linked").c_str(), w.in("linked").c_str()), 0);
    ASSERT_EQ(::rename((w.dir / "renamed").c_str(), w.in("renamed").c_str()), 0);
    w.dir.write("in/later", "l");
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("L/later")); })) << w.out << w.err;
    EXPECT_EQ(w.dir.names("in"), (std::set<std::string> {"linked", "renamed"})) << "held by their writer";
    ::close(linked);
    ::close(renamed);
    ASSERT_TRUE(w.waitFor([&] { return w.dir.names("in").empty(); })) << w.out << w.err;
    EXPECT_EQ(ReadFile(w.out_("L/linked")), "link");
    EXPECT_EQ(ReadFile(w.out_("R/renamed")), "rename");
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);
}

// One watch a folder: a second one of the same folder, even by another
// path, refuses to start and says why; the first goes on. Under --quiet a
// watch says nothing of what goes well.
TEST(Watch, ASecondWatchOfAFolderRefusesToStart)
{
    Watcher w;
    w.dir.write("in/first", "1");
    w.start({QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
             QStringLiteral("--quiet"), QStringLiteral("--settle"), QStringLiteral("0.2")});
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("F/first")); })) << w.out << w.err;
    ASSERT_EQ(::symlink(w.in("").c_str(), (w.dir / "also-in").c_str()), 0);
    for (const std::string& folder : {w.in(""), w.dir / "also-in"}) {
        std::string said;
        EXPECT_EQ(w.other({QStringLiteral("--watch"), QStringLiteral("--copy"), Q(folder), Q(w.dir / "out")}, &said),
                  2);
        EXPECT_NE(said.find("is watched already (by process " + std::to_string(w.process.processId()) + ")"),
                  std::string::npos)
            << said;
    }
    w.dir.write("in/second", "2");
    ASSERT_TRUE(w.waitFor([&] { return Exists(w.out_("S/second")); })) << w.out << w.err;
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);
    EXPECT_EQ(w.out, "") << "--quiet";
    EXPECT_EQ(w.err, "");

    // Once it has ended, the folder can be watched again.
    Watcher again;
    again.process.setProcessEnvironment(w.process.processEnvironment());
    again.start({QStringLiteral("--watch"), QStringLiteral("--copy"), Q(w.in("")), Q(w.dir / "out")}, false);
    again.signal(SIGTERM);
    EXPECT_EQ(again.finish(), 143) << again.err;
}

// A FUSE mount tells only of changes made through it: files put in the
// folder behind it (as a server's side of a share would) are found by
// listing the folder every 2 s, and sorted as any other; and it is said
// once at the start.
TEST(Watch, OnAShareFilesArrivingFromElsewhereAreFoundByListing)
{
    const std::string binary = QUILLBOX_BINARY;
    const std::string passthrough = binary.substr(0, binary.rfind('/')) + "/bench/slow_passthrough";
    if (!Exists(passthrough) || !Exists("/dev/fuse") || ::geteuid() != 0)
        GTEST_SKIP() << "needs the FUSE pass-through of bench/slowfs, /dev/fuse and root";
    Watcher w;
    w.dir.mkdir("behind");
    w.dir.mkdir("mount");
    const std::string mount = w.dir / "mount";
    ASSERT_EQ(QProcess::execute(Q(passthrough), {QStringLiteral("--delay-ms=0"), Q(w.dir / "behind"), Q(mount)}), 0);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount {mount};
    ASSERT_TRUE(w.waitFor([&] {
        struct statfs fs {};
        return ::statfs(mount.c_str(), &fs) == 0 && static_cast<unsigned long>(fs.f_type) == 0x65735546UL;
    }));
    // Written behind the mount after the system kept its length as empty
    // (for a second): the watch asks the server, and the copy is whole.
    w.dir.write("behind/kept", "");
    struct stat kept {};
    ASSERT_EQ(::stat((mount + "/kept").c_str(), &kept), 0);
    w.dir.write("behind/kept", "kept contents");
    w.start({QStringLiteral("--watch"), QStringLiteral("--move"), QStringLiteral("--create-dirs"),
             QStringLiteral("--settle"), QStringLiteral("0.2"), Q(mount), Q(w.dir / "out")},
            false);
    ASSERT_TRUE(w.waitFor([&] { return w.err.find("is on a FUSE file system") != std::string::npos; })) << w.err;
    for (const char* name : {"one", "two", "three"})
        w.dir.write(std::string("behind/") + name, name);
    w.dir.write("mount/through", "t");
    ASSERT_TRUE(w.waitFor([&] { return w.dir.names("behind").empty(); })) << w.out << w.err;
    EXPECT_EQ(ReadFile(w.out_("O/one")), "one");
    EXPECT_EQ(ReadFile(w.out_("T/three")), "three");
    EXPECT_EQ(ReadFile(w.out_("T/through")), "t");
    EXPECT_EQ(ReadFile(w.out_("K/kept")), "kept contents");
    w.signal(SIGTERM);
    EXPECT_EQ(w.finish(), 143);
    const std::size_t first = w.err.find("is on a FUSE file system");
    EXPECT_EQ(w.err.find("is on a FUSE file system", first + 1), std::string::npos) << "said once";
}

} // namespace
} // namespace quillbox::test
