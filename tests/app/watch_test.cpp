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
#include "tests/support/temp_dir.h"
#include "tests/support/tmpfs_mount.h"

namespace quillbox::test {
namespace {

constexpr int kBoundMs = 30000;

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

// A watcher over "in" and "out" of a folder of its own, with its journals
// and watch files there too.
struct Watcher {
    TempDir dir;
    QProcess process;
    std::string out;
    std::string err;

    Watcher()
    {
        dir.mkdir("in");
        dir.mkdir("out");
        dir.mkdir("state");
        dir.mkdir("config");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), Q(dir / "state"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Q(dir / "config"));
        process.setProcessEnvironment(environment);
    }
    ~Watcher()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kBoundMs);
        }
    }
    std::string in(const std::string& name) const { return dir / ("in/" + name); }
    std::string out_(const std::string& bucketAndName) const { return dir / ("out/" + bucketAndName); }

    void start(QStringList arguments, bool inOut = true)
    {
        if (inOut)
            arguments << Q(dir / "in") << Q(dir / "out");
        process.start(QStringLiteral(QUILLBOX_BINARY), arguments);
        ASSERT_TRUE(process.waitForStarted(kBoundMs));
        if (arguments.contains(QStringLiteral("--quiet")))
            return; // nothing tells that it watches
        ASSERT_TRUE(waitFor([&] { return out.find("Watching ") != std::string::npos; })) << err;
    }
    // The watcher runs as `user` over a folder that user owns, with its
    // state, configuration and runtime folders there too.
    void runAs(const passwd& user)
    {
        dir.mkdir("runtime");
        ::chmod(dir.path().c_str(), 0755);
        for (const char* sub : {"", "in", "out", "state", "config", "runtime"})
            EXPECT_EQ(::chown((dir / sub).c_str(), user.pw_uid, user.pw_gid), 0) << sub;
        QProcessEnvironment environment = process.processEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), Q(dir / "runtime"));
        process.setProcessEnvironment(environment);
        const uid_t uid = user.pw_uid;
        const gid_t gid = user.pw_gid;
        process.setChildProcessModifier([uid, gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(120);
        });
    }
    void read()
    {
        out += process.readAllStandardOutput().toStdString();
        err += process.readAllStandardError().toStdString();
    }
    // Waits, with a bound, until `done` holds; reads the output meanwhile
    // (no event loop runs here: the process is read as it writes).
    template <class Done>
    bool waitFor(Done done, int boundMs = kBoundMs)
    {
        return QTest::qWaitFor(
            [&] {
                if (process.state() == QProcess::Running)
                    process.waitForReadyRead(20);
                read();
                return done();
            },
            boundMs);
    }
    void signal(int number) { ::kill(static_cast<pid_t>(process.processId()), number); }
    int finish()
    {
        EXPECT_TRUE(process.waitForFinished(kBoundMs));
        read();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    // A whole run of the program besides the watcher, such as --undo.
    int other(const QStringList& arguments, std::string* output = nullptr)
    {
        QProcess other;
        other.setProcessEnvironment(process.processEnvironment());
        other.start(QStringLiteral(QUILLBOX_BINARY), arguments);
        EXPECT_TRUE(other.waitForFinished(kBoundMs));
        if (output != nullptr)
            *output = other.readAllStandardOutput().toStdString() + other.readAllStandardError().toStdString();
        return other.exitCode();
    }
};

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
