// SPDX-License-Identifier: GPL-3.0-or-later
// The folder both folder fields start on: the program's own, unless the
// user may not write there or it lies under /usr, then the home folder;
// through the rule, through the window, and for copies of a program placed
// in a folder that cannot be written.
#include <filesystem>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include "tests/support/fake_log.h"
#include "tests/support/hooked_file_system.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tmpfs_mount.h"
#include "ui/main/main_window.h"
#include "ui/main/start_folder.h"

using namespace quillbox;

namespace {

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

// The program's folder and the home folder as a probe placed at `program`
// (a copy of it, or a link to one) starts with, with HOME set to `home`.
std::string ProbeStart(const std::string& program, const std::string& home)
{
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), Q(home));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    probe.setProcessEnvironment(environment);
    probe.start(Q(program), {});
    EXPECT_TRUE(probe.waitForFinished(60000)) << program;
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    return probe.readAllStandardOutput().toStdString();
}

void CopyProbe(const std::string& to)
{
    std::filesystem::copy_file(QUILLBOX_START_FOLDER_PROBE, to);
    std::filesystem::permissions(to, std::filesystem::perms(0755));
}

} // namespace

TEST(StartFolder, TheProgramsOwnFolderUnlessItCannotBeWrittenOrLiesUnderUsr)
{
    const auto yes = [](const QString&) { return true; };
    const auto no = [](const QString&) { return false; };
    const QString home = QStringLiteral("/home/ann");
    EXPECT_EQ(ui::StartFolder(QStringLiteral("/opt/quillbox"), home, yes), QStringLiteral("/opt/quillbox"));
    EXPECT_EQ(ui::StartFolder(QStringLiteral("/home/ann/tools"), home, yes), QStringLiteral("/home/ann/tools"));
    EXPECT_EQ(ui::StartFolder(QStringLiteral("/opt/quillbox"), home, no), home) << "not writable";
    // Under /usr whether or not it can be written (root may write there).
    for (const char* installed : {"/usr/bin", "/usr/local/bin", "/usr"})
        EXPECT_EQ(ui::StartFolder(QString::fromLatin1(installed), home, yes), home) << installed;
    EXPECT_EQ(ui::StartFolder(QStringLiteral("/usrlocal/bin"), home, yes), QStringLiteral("/usrlocal/bin"));
    // The home folder is given without its trailing '/'; without one that
    // is a full path, the program's folder stays.
    EXPECT_EQ(ui::StartFolder(QStringLiteral("/usr/bin"), QStringLiteral("/home/ann/"), yes), home);
    EXPECT_EQ(ui::StartFolder(QStringLiteral("/usr/bin"), QStringLiteral("/"), yes), QString());
    EXPECT_EQ(ui::StartFolder(QStringLiteral("/usr/bin"), QString(), yes), QStringLiteral("/usr/bin"));

    // The real look: a folder of our own may be written, a read-only mount
    // may not, whoever we are.
    test::TempDir dir;
    EXPECT_TRUE(ui::UserMayWrite(Q(dir.path())));
    EXPECT_FALSE(ui::UserMayWrite(Q(dir / "missing")));
    test::TmpfsMount mount("1m");
    if (mount.mounted() && ::mount(nullptr, mount.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0) {
        EXPECT_FALSE(ui::UserMayWrite(Q(mount.path())));
    }
}

TEST(StartFolder, TheWindowFillsBothFieldsWithTheHomeFolderForAnInstalledProgram)
{
    test::TempDir home;
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(home.path()));
    test::HookedFileSystem fs;
    test::FakeClock clock;
    for (const bool mayWrite : {true, false}) {
        ui::MainWindowServices services;
        services.fileSystem = &fs;
        services.clock = &clock;
        services.programFolder = mayWrite ? QStringLiteral("/usr/bin") : QStringLiteral("/opt/quillbox");
        services.mayWrite = [mayWrite](const QString&) { return mayWrite; };
        services.messageBox = [](QWidget*, const QString&, const QString&, BoxStyle) { return QMessageBox::Ok; };
        ui::MainWindow window(std::move(services));
        EXPECT_EQ(window.findChild<QLineEdit*>(QStringLiteral("sourceField"))->text(), Q(home.path() + "/"));
        EXPECT_EQ(window.findChild<QLineEdit*>(QStringLiteral("destinationField"))->text(), Q(home.path() + "/"));
    }
    qputenv("HOME", oldHome);
}

TEST(StartFolder, ACopyInAFolderThatCannotBeWrittenStartsOnTheHomeFolder)
{
    test::TempDir home;
    test::TempDir own;

    // Placed in a folder of its own that may be written: it starts there.
    CopyProbe(own / "quillbox");
    EXPECT_EQ(ProbeStart(own / "quillbox", home.path()), own.path() + "/\n" + own.path() + "/\n");

    // Placed on a read-only mount: the home folder, even for root.
    test::TmpfsMount mount("256m");
    if (!mount.mounted())
        GTEST_SKIP() << "no tmpfs can be mounted here";
    CopyProbe(mount / "quillbox");
    ASSERT_EQ(::mount(nullptr, mount.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(ProbeStart(mount / "quillbox", home.path()), home.path() + "/\n" + home.path() + "/\n");

    // Started through a link from a folder that may be written: the
    // program's own folder is where the program lies, not the link.
    ASSERT_EQ(::symlink((mount / "quillbox").c_str(), (own / "linked").c_str()), 0);
    EXPECT_EQ(ProbeStart(own / "linked", home.path()), home.path() + "/\n" + home.path() + "/\n");
}
