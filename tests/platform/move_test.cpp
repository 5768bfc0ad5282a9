// SPDX-License-Identifier: GPL-3.0-or-later
// Moving one file into its bucket: never replacing, whichever way the move
// goes, and across file systems never removing the source before a whole,
// durable copy stands, nor when the source changed meanwhile.

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/folder_handles.h"
#include "tests/platform/platform_test_tools.h"

namespace quillbox::test {
namespace {

// The ways a move can go, by what the file system refuses: renameat2 with
// RENAME_NOREPLACE; a link and an unlink where the flag is refused; a look
// and a rename where hard links are refused too; a copy across file
// systems, written as an anonymous or as a named temporary file, and on a
// file system that refuses the flag and links as well.
struct Path {
    const char* name;
    int noReplaceError;
    int linkError;
    int anonymousError;
};
constexpr Path kPaths[] = {
    {"renameat2", 0, 0, 0},
    {"link and unlink", EINVAL, 0, 0},
    {"look, then rename", EINVAL, EPERM, 0},
    {"across file systems", EXDEV, 0, 0},
    {"across, named temporary file", EXDEV, 0, EOPNOTSUPP},
    {"across, no flag and no links", EXDEV, EPERM, 0},
};

// The calls as the system makes them, counting the syncs asked for and
// those refused.
struct CountingCalls final : SystemCalls {
    int syncs = 0;
    int failed = 0;
    int syncFile(int fd) override
    {
        ++syncs;
        const int done = SystemCalls::syncFile(fd);
        failed += done != 0;
        return done;
    }
};

void Use(TestFileSystem& fs, const Path& path)
{
    fs.noReplaceError = path.noReplaceError;
    fs.linkError = path.linkError;
    fs.anonymousError = path.anonymousError;
}

TEST(Move, NeverReplacesAndKeepsEverythingOnEveryPath)
{
    for (const Path& path : kPaths) {
        SCOPED_TRACE(path.name);
        TempDir src;
        TempDir dst;
        dst.mkdir("M");
        const std::string content = Pattern(300000, 3);
        src.write("mine", content);
        ASSERT_EQ(::chmod((src / "mine").c_str(), 0600), 0);
        SetMtime(src / "mine", 1200000000, 5);
        dst.write("M/mine", "already there");
        TestFileSystem fs;
        Use(fs, path);

        const Sieved refused = SieveOne(fs, src.path(), dst.path(), "mine", 'M', TransferMode::Move);
        EXPECT_EQ(refused.outcome.stage, FileStage::Transfer);
        EXPECT_EQ(refused.outcome.status.error, EEXIST);
        EXPECT_EQ(refused.outcome.status.reason, "File exists");
        EXPECT_EQ(ReadFile(dst / "M/mine"), "already there");
        EXPECT_EQ(ReadFile(src / "mine"), content);

        ASSERT_EQ(::unlink((dst / "M/mine").c_str()), 0);
        const Sieved moved = SieveOne(fs, src.path(), dst.path(), "mine", 'M', TransferMode::Move);
        ASSERT_TRUE(moved.outcome.ok()) << moved.outcome.status.reason;
        EXPECT_EQ(moved.length, content.size());
        EXPECT_FALSE(Exists(src / "mine"));
        EXPECT_EQ(ReadFile(dst / "M/mine"), content);
        const FileFacts facts = Facts(dst / "M/mine");
        EXPECT_EQ(facts.mode, 0600u);
        EXPECT_EQ(facts.mtimeSec, 1200000000);
        EXPECT_EQ(facts.mtimeNsec, 5);
        EXPECT_GE(fs.noReplaceCalls, 2);
        EXPECT_EQ(TemporaryLeftovers(dst.path()), std::vector<std::string> {});
    }
}

// A moved link stays a link with the same target text, on every path; its
// length is its file's.
// A file of the source swapped for a folder between its listing and its
// move, on the quick way (the name moves first), on a file system that
// refuses the flag and links, and on the careful way (a look first): the
// folder, contents and all, goes back under its name, or under a private
// name in the source where its name was taken meanwhile; never into a
// bucket. The file counts as failed.
TEST(Move, AFolderThatTookAFilesNameGoesBack)
{
    enum class Way { Quick, NoFlagNoLinks, Careful };
    for (const Way way : {Way::Quick, Way::NoFlagNoLinks, Way::Careful}) {
        for (const bool nameTaken : {false, true}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(way)) + (nameTaken ? ", its name taken" : ""));
            TempDir dir;
            dir.mkdir("O");
            dir.write("odd", "file");
            TestFileSystem fs;
            if (way == Way::NoFlagNoLinks)
                Use(fs, kPaths[2]);
            if (way == Way::Careful)
                fs.noReplaceError = EBUSY; // the quick way fails; the look and the move follow
            int calls = 0;
            bool swapped = false;
            fs.beforeNoReplace = [&](const char* from, const char* to) {
                const std::string moving = from;
                if (moving == "odd" && ++calls == (way == Way::Careful ? 2 : 1)) {
                    swapped = true;
                    if (way == Way::Careful)
                        fs.noReplaceError = 0;
                    ::unlink((dir / "odd").c_str());
                    dir.mkdir("odd");
                    dir.write("odd/inside", "inside");
                }
                if (nameTaken && moving.starts_with(".quillbox-") && std::string(to) == "odd")
                    dir.write("odd", "new");
            };

            const Sieved moved = SieveOne(fs, dir.path(), dir.path(), "odd", 'O', TransferMode::Move);

            ASSERT_TRUE(swapped);
            EXPECT_EQ(moved.outcome.stage, FileStage::Transfer);
            EXPECT_EQ(moved.outcome.status.error, EINVAL);
            EXPECT_EQ(dir.names("O"), std::set<std::string> {}) << "nothing is left in the bucket";
            const std::vector<std::string> left = TemporaryLeftovers(dir.path());
            if (!nameTaken) {
                EXPECT_EQ(moved.outcome.status.reason, "Not a regular file");
                EXPECT_EQ(ReadFile(dir / "odd/inside"), "inside");
                EXPECT_EQ(left, std::vector<std::string> {});
            } else {
                EXPECT_EQ(ReadFile(dir / "odd"), "new");
                EXPECT_EQ(left.size(), 1u);
                if (left.size() == 1) {
                    EXPECT_EQ(ReadFile(left[0] + "/inside"), "inside");
                    const std::string hidden = left[0].substr(left[0].rfind('/') + 1);
                    EXPECT_EQ(moved.outcome.status.reason,
                              "Not a regular file; it was put back as " + hidden +
                                  " in the source folder, as its name is taken");
                }
            }
        }
    }
}

TEST(Move, LinkStaysALink)
{
    TmpfsMount other("4m");
    QUILLBOX_NEED_TMPFS(other);
    for (const Path& path : kPaths) {
        for (const bool toOther : {false, true}) {
            SCOPED_TRACE(std::string(path.name) + (toOther ? ", to a tmpfs" : ""));
            TempDir src;
            TempDir here;
            const std::string destination = toOther ? other.path() : here.path();
            RemoveTree(destination + "/L");
            ASSERT_EQ(::mkdir((destination + "/L").c_str(), 0755), 0);
            src.write("file", "12345");
            MakeSymlink("file", src / "link");
            TestFileSystem fs;
            Use(fs, path);

            const Sieved moved = SieveOne(fs, src.path(), destination, "link", 'L', TransferMode::Move);

            ASSERT_TRUE(moved.outcome.ok()) << moved.outcome.status.reason;
            EXPECT_EQ(moved.length, 5u);
            EXPECT_FALSE(Exists(src / "link"));
            EXPECT_EQ(ReadFile(src / "file"), "12345");
            ASSERT_TRUE(S_ISLNK(LinkStat(destination + "/L/link").st_mode));
            char text[64] = {};
            EXPECT_EQ(::readlink((destination + "/L/link").c_str(), text, sizeof text - 1), 4);
            EXPECT_STREQ(text, "file");
        }
    }
}

// Across file systems the target appears only when complete, and the
// source goes only after that; owner, group and set-id bits come along.
TEST(MoveAcross, TheTargetIsCompleteBeforeTheSourceGoes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, as CI runs it";
    TmpfsMount other("64m");
    QUILLBOX_NEED_TMPFS(other);
    ASSERT_EQ(::mkdir((other / "Q").c_str(), 0755), 0);
    TempDir src;
    const std::string content = Pattern(20 << 20, 4);
    src.write("quill", content);
    ASSERT_EQ(::chown((src / "quill").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod((src / "quill").c_str(), 04755), 0);
    TestFileSystem fs;
    int looks = 0;
    fs.beforeCopyRange = [&] {
        ++looks;
        EXPECT_EQ(Facts(src / "quill").size, content.size());
        EXPECT_FALSE(Exists(other / "Q/quill"));
    };

    const Sieved moved = SieveOne(fs, src.path(), other.path(), "quill", 'Q', TransferMode::Move);

    ASSERT_TRUE(moved.outcome.ok()) << moved.outcome.status.reason;
    EXPECT_GE(looks, 1);
    EXPECT_EQ(ReadFile(other / "Q/quill"), content);
    EXPECT_FALSE(Exists(src / "quill"));
    const struct stat target = LinkStat(other / "Q/quill");
    EXPECT_EQ(target.st_uid, 65534u);
    EXPECT_EQ(target.st_gid, 65534u);
    EXPECT_EQ(target.st_mode & 07777, 04755u);
    EXPECT_EQ(TemporaryLeftovers(other.path()), std::vector<std::string> {});
}

// A move across file systems puts the new name on the disk before the
// source goes, through a handle fsync takes: no sync the move asks for is
// refused. A sync that fails, of the copy's data or of the bucket's
// entries, fails the file: the source stays whole and the bucket holds
// nothing of it.
TEST(MoveAcross, TheNewNameIsOnTheDiskBeforeTheSourceGoes)
{
    for (const bool link : {false, true}) {
        for (const bool failing : {false, true}) {
            for (const bool folders : {false, true}) {
                if (link && !folders)
                    continue; // a link has no data to sync
                SCOPED_TRACE(std::string(link ? "link" : "file") + (failing ? ", failing" : ", succeeding") +
                             " sync of " + (folders ? "the bucket" : "the data"));
                TempDir dir;
                dir.mkdir("Q");
                dir.write("quill", "quill data");
                if (link)
                    MakeSymlink("quill", dir / "qlink");
                const std::string name = link ? "qlink" : "quill";
                TestFileSystem fs;
                fs.noReplaceError = EXDEV;
                int folderSyncs = 0;
                fs.syncFault = [&](int fd) {
                    struct stat st {};
                    EXPECT_EQ(::fstat(fd, &st), 0);
                    const bool folder = S_ISDIR(st.st_mode);
                    if (folder)
                        ++folderSyncs;
                    return failing && folder == folders ? EIO : 0;
                };

                const Sieved moved = SieveOne(fs, dir.path(), dir.path(), name, 'Q', TransferMode::Move);

                EXPECT_EQ(fs.syncsFailed.load(), 0) << "every sync asked for was made";
                if (!failing || folders) {
                    EXPECT_GE(folderSyncs, 1) << "the bucket's entries went to the disk";
                }
                if (failing) {
                    EXPECT_FALSE(moved.outcome.ok());
                    EXPECT_EQ(moved.outcome.status.error, EIO);
                    EXPECT_TRUE(Exists(dir / name));
                    EXPECT_FALSE(Exists(dir / ("Q/" + name)));
                } else {
                    EXPECT_TRUE(moved.outcome.ok()) << moved.outcome.status.reason;
                    EXPECT_FALSE(Exists(dir / name));
                    EXPECT_EQ(link ? std::string(S_ISLNK(LinkStat(dir / "Q/qlink").st_mode) ? "link" : "not a link")
                                   : ReadFile(dir / "Q/quill"),
                              link ? "link" : "quill data");
                }
                if (link || failing) {
                    EXPECT_EQ(ReadFile(dir / "quill"), "quill data");
                }
                EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
                EXPECT_EQ(TemporaryLeftovers(dir / "Q"), std::vector<std::string> {});
            }
        }
    }
}

// A folder's entries are synced through a bare (O_PATH) handle as through
// one opened for reading, and a handle that is no folder's is a failure.
TEST(SyncFolder, TakesEveryHandleAFolderIsHeldBy)
{
    TempDir dir;
    CountingCalls calls;
    for (const int flags : {O_PATH, O_RDONLY}) {
        SCOPED_TRACE(flags == O_PATH ? "bare handle" : "opened for reading");
        const int fd = ::open(dir.path().c_str(), flags | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        calls.syncs = calls.failed = 0;
        EXPECT_TRUE(posix::SyncFolder(calls, fd).ok());
        EXPECT_EQ(calls.syncs, 1);
        EXPECT_EQ(calls.failed, 0);
        ::close(fd);
    }
    EXPECT_EQ(posix::SyncFolder(calls, -1).error, EBADF);
}

TEST(MoveAcross, FailingHalfWayKeepsTheSource)
{
    const std::string content = Pattern(3 << 20, 5);
    {
        SCOPED_TRACE("file-size limit");
        TempDir dir;
        dir.mkdir("S");
        dir.write("source", content);
        TestFileSystem fs;
        fs.noReplaceError = EXDEV;
        Sieved done;
        {
            FileSizeLimit limit(1 << 20);
            done = SieveOne(fs, dir.path(), dir.path(), "source", 'S', TransferMode::Move);
        }
        EXPECT_EQ(done.outcome.stage, FileStage::Transfer);
        EXPECT_EQ(done.outcome.status.error, EFBIG);
        EXPECT_EQ(ReadFile(dir / "source"), content);
        EXPECT_FALSE(Exists(dir / "S/source"));
        EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
    }
    {
        SCOPED_TRACE("source that cannot be removed");
        TempDir dir;
        dir.mkdir("from");
        dir.mkdir("S");
        dir.write("from/source", content);
        TestFileSystem fs;
        fs.noReplaceError = EXDEV;
        ASSERT_EQ(::chmod((dir / "from").c_str(), 0555), 0);
        Sieved done;
        {
            WithoutDacOverride permissions;
            ASSERT_TRUE(permissions.active());
            done = SieveOne(fs, dir / "from", dir.path(), "source", 'S', TransferMode::Move);
        }
        // Nothing moved, so nothing may stand in the bucket either.
        EXPECT_EQ(done.outcome.stage, FileStage::Transfer);
        EXPECT_EQ(done.outcome.status.error, EACCES);
        EXPECT_EQ(ReadFile(dir / "from/source"), content);
        EXPECT_FALSE(Exists(dir / "S/source"));
        EXPECT_EQ(TemporaryLeftovers(dir / "S"), std::vector<std::string> {});
    }
    {
        SCOPED_TRACE("full file system");
        TmpfsMount small("1m");
        QUILLBOX_NEED_TMPFS(small);
        TempDir dir;
        dir.write("source", content);
        ASSERT_EQ(::mkdir((small / "S").c_str(), 0755), 0);
        PosixFileSystem fs;
        const Sieved done = SieveOne(fs, dir.path(), small.path(), "source", 'S', TransferMode::Move);
        EXPECT_EQ(done.outcome.status.error, ENOSPC);
        EXPECT_EQ(ReadFile(dir / "source"), content);
        EXPECT_FALSE(Exists(small / "S/source"));
        EXPECT_EQ(TemporaryLeftovers(small.path()), std::vector<std::string> {});
    }
}

// A source written to while it is copied, or whose name is given to
// another file meanwhile, is not removed, and its copy is taken back.
TEST(MoveAcross, SourceChangedMeanwhileIsKept)
{
    for (const bool renamedOver : {false, true}) {
        SCOPED_TRACE(renamedOver ? "another file took its name" : "appended to");
        TempDir dir;
        dir.mkdir("C");
        const std::string content = Pattern(1 << 20, 6);
        dir.write("changing", content);
        dir.write("other", "another file");
        TestFileSystem fs;
        fs.noReplaceError = EXDEV;
        bool changed = false;
        fs.beforeCopyRange = [&] {
            if (changed)
                return;
            changed = true;
            if (renamedOver) {
                ASSERT_EQ(::rename((dir / "other").c_str(), (dir / "changing").c_str()), 0);
            } else {
                const int fd = ::open((dir / "changing").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(::write(fd, "more", 4), 4);
                ::close(fd);
            }
        };

        const Sieved done = SieveOne(fs, dir.path(), dir.path(), "changing", 'C', TransferMode::Move);

        EXPECT_EQ(done.outcome.stage, FileStage::Transfer);
        EXPECT_EQ(done.outcome.status.reason, "The file changed while it was being copied; the original is kept");
        EXPECT_EQ(ReadFile(dir / "changing"), renamedOver ? "another file" : content + "more");
        EXPECT_FALSE(Exists(dir / "C/changing"));
        EXPECT_EQ(TemporaryLeftovers(dir.path()), std::vector<std::string> {});
    }
}

// A bucket folder that may be written but not read (a drop box, 0733): its
// new entry is put on the disk another way, and the move succeeds.
TEST(MoveAcross, IntoAFolderThatCannotBeRead)
{
    TmpfsMount other("4m");
    QUILLBOX_NEED_TMPFS(other);
    for (const bool link : {false, true}) {
        SCOPED_TRACE(link ? "link" : "file");
        TempDir src;
        src.write("drop", "dropped");
        if (link)
            MakeSymlink("drop", src / "dlink");
        const std::string name = link ? "dlink" : "drop";
        RemoveTree(other / "D");
        ASSERT_EQ(::mkdir((other / "D").c_str(), 0733), 0);
        ASSERT_EQ(::chmod((other / "D").c_str(), 0733), 0);
        ASSERT_EQ(::chown((other / "D").c_str(), 65534, 65534), 0);
        PosixFileSystem fs;
        Sieved done;
        {
            WithoutDacOverride permissions;
            ASSERT_TRUE(permissions.active());
            ASSERT_LT(::open((other / "D").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), 0);
            done = SieveOne(fs, src.path(), other.path(), name, 'D', TransferMode::Move);
        }
        ASSERT_TRUE(done.outcome.ok()) << done.outcome.status.reason;
        EXPECT_FALSE(Exists(src / name));
        EXPECT_EQ(link ? std::string(S_ISLNK(LinkStat(other / "D/dlink").st_mode) ? "link" : "not a link")
                       : ReadFile(other / "D/drop"),
                  link ? "link" : "dropped");
    }
}

std::optional<std::string> Attribute(const std::string& path, const std::string& name)
{
    std::string value(65536, '\0');
    const ssize_t size = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    if (size < 0)
        return std::nullopt;
    value.resize(static_cast<std::size_t>(size));
    return value;
}

// An access ACL as the kernel stores it: owner rw, user 1000 r, group r,
// mask r, others nothing.
std::string AccessAcl()
{
    const std::uint32_t none = 0xffffffff;
    const struct {
        std::uint16_t tag, perm;
        std::uint32_t id;
    } entries[] = {{0x01, 6, none}, {0x02, 4, 1000}, {0x04, 4, none}, {0x10, 4, none}, {0x20, 0, none}};
    const std::uint32_t version = 2;
    std::string acl(reinterpret_cast<const char*>(&version), sizeof version);
    acl.append(reinterpret_cast<const char*>(entries), sizeof entries);
    return acl;
}

// A move across file systems keeps every extended attribute (user.*,
// trusted.*, the access ACL) where the target can hold it; a copy keeps the
// user.* ones. What the target refuses is reported, and the file is placed.
TEST(Attributes, KeptAsFarAsTheTargetHoldsThem)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root (trusted.* attributes), as CI runs it";
    TmpfsMount other("256m");
    QUILLBOX_NEED_TMPFS(other);
    const std::string probe = other / "probe";
    {
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    const bool tmpfsUserAttributes = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    struct Case {
        const char* name;
        TransferMode mode;
        bool fromTmpfs;
        bool toTmpfs;
        bool allKept;
        bool many;  // 40 values of 900 bytes
        bool large; // one of 60,000
    };
    const Case cases[] = {
        {"copy", TransferMode::Copy, false, false, false, false, false},
        {"move across file systems", TransferMode::Move, false, false, true, false, false},
        {"move to a tmpfs", TransferMode::Move, false, true, true, false, false},
        {"move between two tmpfs, many and large values", TransferMode::Move, true, true, true, true, true},
        // ext4 holds some 4 KiB of attributes per file: a large one is refused.
        {"move from a tmpfs to ext4, a large value", TransferMode::Move, true, false, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if ((c.fromTmpfs || c.toTmpfs) && !tmpfsUserAttributes) {
            std::printf("skipped: this kernel's tmpfs holds no user.* attributes\n");
            continue;
        }
        TempDir src(c.fromTmpfs ? "/dev/shm" : "");
        TempDir here;
        const std::string destination = c.toTmpfs ? other.path() : here.path();
        RemoveTree(destination + "/X");
        ASSERT_EQ(::mkdir((destination + "/X").c_str(), 0755), 0);
        src.write("x", "with attributes");
        ASSERT_EQ(::chmod((src / "x").c_str(), 0640), 0);
        const std::string file = src / "x";
        std::vector<std::pair<std::string, std::string>> small = {
            {"user.colour", "blue"}, {"trusted.note", "root's"}, {"system.posix_acl_access", AccessAcl()}};
        std::vector<std::pair<std::string, std::string>> large;
        for (int i = 0; c.many && i < 40; ++i)
            large.emplace_back("user.many" + std::to_string(i), Pattern(900, static_cast<unsigned>(i)));
        if (c.large)
            large.emplace_back("user.large", Pattern(60000, 9));
        for (const auto* set : {&small, &large}) {
            for (const auto& [name, value] : *set)
                ASSERT_EQ(::setxattr(file.c_str(), name.c_str(), value.data(), value.size(), 0), 0) << name;
        }
        TestFileSystem fs;
        if (!c.fromTmpfs && !c.toTmpfs)
            fs.noReplaceError = EXDEV; // the same file system, taken as another

        const Sieved done = SieveOne(fs, src.path(), destination, "x", 'X', c.mode);

        ASSERT_TRUE(done.outcome.ok()) << done.outcome.status.reason;
        const std::string placed = destination + "/X/x";
        EXPECT_EQ(ReadFile(placed), "with attributes");
        EXPECT_EQ(Facts(placed).mode, 0640u);
        for (const auto& [name, value] : small) {
            const bool kept = c.allKept || name.rfind("user.", 0) == 0;
            EXPECT_EQ(Attribute(placed, name), kept ? std::optional(value) : std::nullopt) << name;
        }
        const bool largeKept = c.toTmpfs;
        for (const auto& [name, value] : large)
            EXPECT_TRUE(Attribute(placed, name) == (largeKept ? std::optional(value) : std::nullopt)) << name;
        if (c.large && !largeKept) {
            EXPECT_EQ(done.outcome.attributesNotKept.error, ENOSPC);
            EXPECT_EQ(done.outcome.attributesNotKept.reason, "No space left on device");
        } else {
            EXPECT_TRUE(done.outcome.attributesNotKept.ok()) << done.outcome.attributesNotKept.reason;
        }
    }
}

} // namespace
} // namespace quillbox::test
