// SPDX-License-Identifier: GPL-3.0-or-later
// What a journal keeps of files and folders on network shares and
// user-space mounts, where device and inode numbers change with each mount.

#include <fcntl.h>

#include "platform/share_identity.h"
#include "platform/unique_fd.h"
#include "tests/platform/platform_test_tools.h"
#include "tests/support/tmpfs_mount.h"

namespace quillbox::test {
namespace {

using posix::ContentChecksum;
using posix::kShareDevice;

// The checksum a copy takes piece by piece is the one an undo takes of the
// whole file, whatever the pieces; any byte changed changes it.
TEST(ShareIdentity, ChecksumOfPiecesIsTheFilesAndTellsEveryByte)
{
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 300000; ++i)
        bytes.push_back(static_cast<char>(i * 7 % 251));
    dir.write("file", bytes);
    ContentChecksum pieces;
    for (std::size_t at = 0; at < bytes.size(); at += 65537)
        pieces.add(bytes.data() + at, std::min<std::size_t>(65537, bytes.size() - at));
    const posix::UniqueFd folder(::open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(posix::ChecksumOfFile(folder.get(), "file"), pieces.value());

    bytes[123456] ^= 1;
    dir.write("edited", bytes);
    EXPECT_NE(posix::ChecksumOfFile(folder.get(), "edited"), pieces.value());
    EXPECT_EQ(posix::ChecksumOfFile(folder.get(), "missing"), 0u);
    dir.write("empty", "");
    EXPECT_NE(posix::ChecksumOfFile(folder.get(), "empty"), 0u) << "0 stands for no checksum";
}

// A folder's identity on a share names its mount's type and source: the
// same for every folder of one mount, another for another mount, and it
// says nothing of inode numbers.
TEST(ShareIdentity, FolderIsKnownByItsMountsTypeAndSource)
{
    TmpfsMount first("1m"), second("1m");
    QUILLBOX_NEED_TMPFS(first);
    QUILLBOX_NEED_TMPFS(second);
    ASSERT_EQ(::mkdir((first / "inner").c_str(), 0755), 0);
    const posix::UniqueFd a(::open(first.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const posix::UniqueFd inner(::open((first / "inner").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const posix::UniqueFd b(::open(second.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    FolderIdentity ofA, ofInner, ofB;
    ASSERT_TRUE(posix::ShareFolderIdentity(a.get(), ofA));
    ASSERT_TRUE(posix::ShareFolderIdentity(inner.get(), ofInner));
    ASSERT_TRUE(posix::ShareFolderIdentity(b.get(), ofB));
    EXPECT_EQ(ofA.device, kShareDevice);
    EXPECT_TRUE(ofA.matches(ofInner));
    // Both are "tmpfs tmpfs": one kind from one source, as a share mounted
    // again is.
    EXPECT_TRUE(ofA.matches(ofB));
    EXPECT_FALSE(posix::OnRoundTripFileSystem(a.get()));
}

// A file's identity on a share holds across mounts: its length and time,
// and the bytes a copy wrote.
TEST(ShareIdentity, FileIsKnownByLengthTimeAndChecksum)
{
    const FileIdentity seen {42, 7, 2048, 1'700'000'000'000'000'000, 1'700'000'000'000'000'000, 0};
    FileIdentity remounted = seen;
    remounted.device = 43;
    remounted.inode = 9;
    EXPECT_TRUE(posix::ShareFileIdentity(seen, 5).matches(posix::ShareFileIdentity(remounted, 5)));
    EXPECT_FALSE(posix::ShareFileIdentity(seen, 5).matches(posix::ShareFileIdentity(remounted, 6)));
    remounted.size = 2049;
    EXPECT_FALSE(posix::ShareFileIdentity(seen, 0).matches(posix::ShareFileIdentity(remounted, 0)));
}

} // namespace
} // namespace quillbox::test
