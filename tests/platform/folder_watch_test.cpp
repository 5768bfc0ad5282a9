// SPDX-License-Identifier: GPL-3.0-or-later
// The watcher's file layer over real folders: which events inotify gives
// for what programs do, the timer, and who holds a file open for writing.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "platform/folder_watch.h"
#include "platform/open_writers.h"
#include "platform/read_leases.h"
#include "tests/support/temp_dir.h"

namespace quillbox::test {
namespace {

using Kind = posix::FolderEvent::Kind;
using namespace std::chrono_literals;

FileLook LookAt(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {st.st_dev, st.st_ino, static_cast<std::uint64_t>(st.st_size), 0, 0};
}

struct WatchFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<posix::FolderWatch> watch;

    void SetUp() override
    {
        dir.mkdir("in");
        auto opened = posix::FolderWatch::open(dir / "in");
        ASSERT_TRUE(opened.ok()) << opened.status().reason;
        watch = std::move(opened.value());
    }
    // The events there are now; the kernel has queued them before the call
    // that made them returned.
    std::vector<std::pair<Kind, std::string>> events()
    {
        std::vector<std::pair<Kind, std::string>> seen;
        for (const posix::FolderEvent& event : watch->read())
            if (seen.empty() || seen.back() != std::pair {event.kind, event.name})
                seen.emplace_back(event.kind, event.name);
        return seen;
    }
};

TEST_F(WatchFixture, WhatProgramsDoReadsAsTouchedOrLeft)
{
    dir.write("in/written", "data"); // create, write, close
    dir.write("elsewhere", "x");
    ASSERT_EQ(::rename((dir / "elsewhere").c_str(), (dir / "in/renamed-in").c_str()), 0);
    ASSERT_EQ(::rename((dir / "in/written").c_str(), (dir / "outside").c_str()), 0);
    ASSERT_EQ(::unlink((dir / "in/renamed-in").c_str()), 0);
    dir.mkdir("in/sub"); // folders are no files to take

    const std::vector<std::pair<Kind, std::string>> expected = {
        {Kind::Touched, "written"}, {Kind::Touched, "renamed-in"}, {Kind::Left, "written"}, {Kind::Left, "renamed-in"}};
    EXPECT_EQ(events(), expected);
    EXPECT_TRUE(events().empty());
}

TEST_F(WatchFixture, WaitWakesForEventsTheDeadlineOrASignal)
{
    sigset_t none;
    sigemptyset(&none);
    EXPECT_EQ(watch->wait(std::chrono::steady_clock::now() + 10ms, &none), posix::FolderWatch::Wake::Deadline);
    EXPECT_EQ(watch->wait(std::chrono::steady_clock::now() - 1s, &none), posix::FolderWatch::Wake::Deadline)
        << "a deadline already past wakes at once";
    dir.write("in/a", "a");
    EXPECT_EQ(watch->wait(std::nullopt, &none), posix::FolderWatch::Wake::Events);
    events();

    // A signal blocked outside the wait is taken inside it.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction previous {};
    ::sigaction(SIGUSR1, &action, &previous);
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &usr1, &old);
    ::raise(SIGUSR1);
    EXPECT_EQ(watch->wait(std::nullopt, &none), posix::FolderWatch::Wake::Interrupted);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(WatchFixture, LookAndScanSeeFilesOnly)
{
    dir.write("in/file", "12345");
    dir.mkdir("in/sub");
    ASSERT_EQ(::mkfifo((dir / "in/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("file", (dir / "in/link").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (dir / "in/dangling").c_str()), 0);

    ASSERT_TRUE(watch->look("file"));
    EXPECT_EQ(watch->look("file")->size, 5u);
    EXPECT_EQ(watch->look("link")->inode, watch->look("file")->inode) << "a link counts as what it leads to";
    for (const char* other : {"sub", "fifo", "dangling", "gone"})
        EXPECT_FALSE(watch->look(other)) << other;

    auto scanned = watch->scan();
    ASSERT_TRUE(scanned.ok());
    std::set<std::string> names;
    for (const posix::ScannedFile& file : scanned.value()) {
        names.insert(file.name);
        // Listed or looked at, it is the file the name leads to.
        const FileLook now = LookAt(dir / "in/file");
        EXPECT_EQ(std::pair(file.look.device, file.look.inode), std::pair(now.device, now.inode)) << file.name;
        EXPECT_FALSE(file.listed && file.name == "link") << "a link is looked at";
    }
    EXPECT_EQ(names, (std::set<std::string> {"file", "link"}));
}

// While a batch moves files out, their leaving is not told; arrivals are.
TEST_F(WatchFixture, LeavingIsNotToldWhileQuiet)
{
    dir.write("in/a", "a");
    dir.write("in/b", "b");
    events();
    watch->quietLeaving(true);
    ASSERT_EQ(::rename((dir / "in/a").c_str(), (dir / "a").c_str()), 0);
    dir.write("in/c", "c");
    EXPECT_EQ(events(), (std::vector<std::pair<Kind, std::string>> {{Kind::Touched, "c"}}));
    watch->quietLeaving(false);
    ASSERT_EQ(::unlink((dir / "in/b").c_str()), 0);
    EXPECT_EQ(events(), (std::vector<std::pair<Kind, std::string>> {{Kind::Left, "b"}}));
}

TEST_F(WatchFixture, FolderItselfGoingAwayIsTold)
{
    ASSERT_EQ(::rename((dir / "in").c_str(), (dir / "moved").c_str()), 0);
    auto seen = events();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().first, Kind::Moved);

    ASSERT_EQ(::rmdir((dir / "moved").c_str()), 0);
    seen = events();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().first, Kind::Removed);
}

// Only a descriptor open for writing holds a file, whichever name it was
// opened by; read-only ones and closed ones do not.
TEST(OpenWriters, OnlyDescriptorsOpenForWritingHold)
{
    TempDir dir;
    struct Case {
        const char* name;
        int flags; // -1: opened and closed again
        bool held;
    };
    const Case cases[] = {
        {"read-only", O_RDONLY, false},           {"write-only", O_WRONLY, true}, {"read-write", O_RDWR, true},
        {"appending", O_WRONLY | O_APPEND, true}, {"closed", -1, false},          {"not-opened", -2, false},
    };
    std::vector<int> fds;
    std::vector<FileLook> looks;
    for (const Case& c : cases) {
        dir.write(c.name, "x");
        looks.push_back(LookAt(dir / c.name));
        if (c.flags == -2)
            continue;
        const int fd = ::open((dir / c.name).c_str(), (c.flags == -1 ? O_WRONLY : c.flags) | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        if (c.flags == -1)
            ::close(fd);
        else
            fds.push_back(fd);
    }
    // A writer keeps holding a file renamed after it was opened.
    ASSERT_EQ(::rename((dir / "write-only").c_str(), (dir / "write-only-renamed").c_str()), 0);

    const std::vector<bool> held = posix::OpenForWriting(looks, "/proc", true);
    EXPECT_EQ(posix::OpenForWriting(looks), std::vector<bool>(std::size(cases), false)) << "this process writes none";
    ASSERT_EQ(held.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(held[i], cases[i].held) << cases[i].name;
    for (const int fd : fds)
        ::close(fd);
    EXPECT_EQ(posix::OpenForWriting(looks, "/proc", true), std::vector<bool>(std::size(cases), false));
}

// A lease is granted only while nobody may write the file, a mapping
// included; a writer opening the file breaks it, and that is told.
TEST(ReadLeases, GrantedOnlyWhileNobodyWritesAndBrokenByAWriter)
{
    TempDir dir;
    posix::ReadLeases leases;
    ASSERT_GE(leases.fd(), 0);
    const std::string folder = dir.path() + "/";
    dir.write("quiet", "q");
    dir.write("open", "o");
    dir.write("mapped", std::string(4096, 'm'));
    dir.write("other", "x");
    const int writer = ::open((dir / "open").c_str(), O_WRONLY | O_CLOEXEC);
    const int mapFd = ::open((dir / "mapped").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_GE(mapFd, 0);
    void* map = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, mapFd, 0);
    ::close(mapFd);
    ASSERT_NE(map, MAP_FAILED);

    using Answer = posix::ReadLeases::Answer;
    EXPECT_EQ(leases.take(folder, "quiet", LookAt(dir / "quiet")), Answer::Granted);
    EXPECT_EQ(leases.take(folder, "open", LookAt(dir / "open")), Answer::Writing);
    EXPECT_EQ(leases.take(folder, "mapped", LookAt(dir / "mapped")), Answer::Writing) << "a mapping writes too";
    EXPECT_EQ(leases.take(folder, "other", LookAt(dir / "quiet")), Answer::Changed) << "not the file looked at";
    EXPECT_EQ(leases.take(folder, "gone", LookAt(dir / "quiet")), Answer::Changed);
    EXPECT_EQ(leases.held(), 1u);
    ::close(writer);
    ::munmap(map, 4096);
    EXPECT_EQ(leases.take(folder, "mapped", LookAt(dir / "mapped")), Answer::Granted) << "once let go";

    // A writer opening a leased file waits (here: is told to come back),
    // and the holder hears of it.
    EXPECT_LT(::open((dir / "quiet").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    pollfd told {leases.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&told, 1, 30000), 1);
    EXPECT_EQ(leases.broken(), std::vector<std::string> {"quiet"});
    EXPECT_FALSE(leases.holds("quiet")) << "let go at once";
    EXPECT_TRUE(leases.holds("mapped"));
    const int after = ::open((dir / "quiet").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(after, 0) << "the writer goes on";
    ::close(after);

    // A name that leads to another file now: the lease on the old one goes,
    // and the new one is asked about.
    const FileLook before = LookAt(dir / "mapped");
    ASSERT_EQ(::rename((dir / "other").c_str(), (dir / "mapped").c_str()), 0);
    EXPECT_EQ(leases.take(folder, "mapped", before), Answer::Granted) << "the name is not looked up again";
    EXPECT_EQ(leases.take(folder, "mapped", LookAt(dir / "mapped")), Answer::Granted);
    const int mappedWriter = ::open((dir / "mapped").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_LT(mappedWriter, 0) << "the new file is the one leased";
    leases.broken();
    if (mappedWriter >= 0)
        ::close(mappedWriter);
    EXPECT_EQ(leases.take(folder, "mapped", LookAt(dir / "mapped")), Answer::Granted);

    // Renamed, as a batch takes it, a leased file stays leased where it
    // went: a writer opening it there waits until the lease is let go.
    ASSERT_EQ(::rename((dir / "mapped").c_str(), (dir / "moved").c_str()), 0);
    EXPECT_LT(::open((dir / "moved").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    leases.releaseAll();
    const int released = ::open((dir / "moved").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(released, 0);
    ::close(released);
    ASSERT_EQ(leases.take(folder, "moved", LookAt(dir / "moved")), Answer::Granted);

    leases.releaseAllBut({"moved"});
    EXPECT_EQ(leases.held(), 1u);
    leases.releaseAll();
    EXPECT_EQ(leases.held(), 0u);
}

// Many files at once, as a folder found full: leased on two threads while
// the caller goes on with its own work, each file that nobody writes.
TEST(ReadLeases, ManyAreTakenWhileTheCallerGoesOn)
{
    constexpr int kFiles = 2100; // beyond what one thread leases alone
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < 2 * kFiles)
        GTEST_SKIP() << "fewer descriptors allowed than the files";
    TempDir dir;
    posix::ReadLeases leases;
    ASSERT_GE(leases.fd(), 0);
    std::vector<std::string> names;
    std::vector<FileLook> looks;
    for (int i = 0; i < kFiles; ++i) {
        names.push_back("f" + std::to_string(i));
        dir.write(names.back(), "x");
        looks.push_back(LookAt(dir / names.back()));
    }
    const int writer = ::open((dir / "f7").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const posix::UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int meanwhile = 0;
    leases.takeMany(dir.path() + "/", folder.get(), names, looks, [&] { ++meanwhile; });
    EXPECT_EQ(meanwhile, 1);
    EXPECT_EQ(leases.held(), std::size_t(kFiles - 1));
    EXPECT_FALSE(leases.holds("f7")) << "written";
    EXPECT_TRUE(leases.holds("f0"));
    EXPECT_TRUE(leases.holds("f" + std::to_string(kFiles - 1)));
    EXPECT_LT(::open((dir / "f1234").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    ::close(writer);
    leases.releaseAll();
}

// Which file systems are shares whose changes made elsewhere are not told.
TEST(ShareKind, NetworkAndFuseFileSystemsAreShares)
{
    EXPECT_EQ(posix::ShareKind(0x65735546UL), "FUSE");
    EXPECT_EQ(posix::ShareKind(0x6969UL), "NFS");
    EXPECT_EQ(posix::ShareKind(0xFF534D42UL), "CIFS");
    EXPECT_EQ(posix::ShareKind(0xFE534D42UL), "SMB2");
    EXPECT_EQ(posix::ShareKind(0x01021997UL), "9p");
    for (const unsigned long local : {0xEF53UL, 0x01021994UL, 0x58465342UL, 0x9123683EUL, 0x794C7630UL})
        EXPECT_EQ(posix::ShareKind(local), "") << std::hex << local;
    TempDir dir;
    auto opened = posix::FolderWatch::open(dir.path());
    ASSERT_TRUE(opened.ok());
    struct statfs fs {};
    ASSERT_EQ(::statfs(dir.path().c_str(), &fs), 0);
    EXPECT_EQ(opened.value()->share(), posix::ShareKind(static_cast<unsigned long>(fs.f_type)));
}

} // namespace
} // namespace quillbox::test
