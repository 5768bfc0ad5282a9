// SPDX-License-Identifier: GPL-3.0-or-later
// A move out of a user-space mount: the system keeps what it last heard of
// a file's length for a while, and a file written on the server's side
// meanwhile must still be copied whole before its original goes.
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace quillbox::test {
namespace {

QString Q(const std::string& path)
{
    return QString::fromStdString(path);
}

TEST(CommandLine, AMoveFromAUserSpaceMountCopiesWhatTheServerHolds)
{
    const std::string binary = QUILLBOX_BINARY;
    const std::string passthrough = binary.substr(0, binary.rfind('/')) + "/bench/slow_passthrough";
    if (!Exists(passthrough) || !Exists("/dev/fuse") || ::geteuid() != 0)
        GTEST_SKIP() << "needs the FUSE pass-through of bench/slowfs, /dev/fuse and root";
    TempDir dir;
    dir.mkdir("behind");
    dir.mkdir("mount");
    dir.mkdir("state");
    const std::string mount = dir / "mount";
    ASSERT_EQ(QProcess::execute(Q(passthrough), {QStringLiteral("--delay-ms=0"), Q(dir / "behind"), Q(mount)}), 0);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount {mount};
    struct statfs fs {};
    ASSERT_EQ(::statfs(mount.c_str(), &fs), 0);
    ASSERT_EQ(static_cast<unsigned long>(fs.f_type), 0x65735546UL) << "a FUSE mount";

    // Looked at through the mount while empty, then written behind it: the
    // system now keeps an empty length for it (for a second).
    dir.write("behind/kept", "");
    struct stat kept {};
    ASSERT_EQ(::stat((mount + "/kept").c_str(), &kept), 0);
    ASSERT_EQ(kept.st_size, 0);
    dir.write("behind/kept", "kept contents");

    QProcess run;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_STATE_HOME"), Q(dir / "state"));
    run.setProcessEnvironment(environment);
    run.start(Q(binary), {QStringLiteral("--move"), QStringLiteral("--create-dirs"), Q(mount), Q(dir / "out")});
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardOutput().toStdString();

    EXPECT_EQ(ReadFile(dir / "out/K/kept"), "kept contents") << "copied whole";
    EXPECT_FALSE(Exists(dir / "behind/kept"));
}

} // namespace
} // namespace quillbox::test
