// SPDX-License-Identifier: GPL-3.0-or-later
// quillbox with no command starts the window's program: found beside it as
// in the build folder, or where an install puts it, with the same arguments;
// where it is missing, one line says so.
#include <string>

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace quillbox::test {
namespace {

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string RealPath(const std::string& path)
{
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

// A copy of the built program at `path`, as an install or a user places it.
void PlaceProgram(const std::string& from, const std::string& path)
{
    ASSERT_TRUE(QFile::copy(Q(from), Q(path))) << path;
    ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
}

// `program` started with `arguments` on the headless display, its state
// kept in `state`.
QProcess* Start(const std::string& program, const QStringList& arguments, const TempDir& state,
                const QString& platform = QStringLiteral("offscreen"))
{
    auto* process = new QProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    environment.insert(QStringLiteral("XDG_STATE_HOME"), Q(state.path()));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Q(state.path()));
    process->setProcessEnvironment(environment);
    process->start(Q(program), arguments);
    EXPECT_TRUE(process->waitForStarted(10000));
    return process;
}

std::string ProcFile(qint64 pid, const char* name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// Waits, at most a minute, until `process` has become the window's program
// and its platform plugin is loaded; false if it ended or never did.
bool BecameTheWindow(QProcess* process, const std::string& window)
{
    const std::string exe = "/proc/" + std::to_string(process->processId()) + "/exe";
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        if (RealPath(exe) == window &&
            ProcFile(process->processId(), "maps").find("libqoffscreen") != std::string::npos)
            return true;
        if (process->waitForFinished(20))
            return false;
    }
    return false;
}

void Stop(QProcess* process)
{
    process->terminate();
    EXPECT_TRUE(process->waitForFinished(30000));
    delete process;
}

std::string CommandLineOf(const QStringList& arguments)
{
    std::string line;
    for (const QString& argument : arguments)
        line += argument.toStdString() + '\0';
    return line;
}

// The window, started as quillbox SOURCE DESTINATION from the build folder
// and from an install's layout: the same arguments reach it, and it runs.
TEST(WindowStart, FoldersOnlyBecomeTheWindowWithTheSameArguments)
{
    TempDir dir;
    TempDir state;
    dir.mkdir("in");
    dir.mkdir("out");
    dir.mkdir("bin");
    dir.mkdir("libexec");
    dir.mkdir("libexec/quillbox");
    PlaceProgram(QUILLBOX_BINARY, dir / "bin/quillbox");
    ASSERT_EQ(::symlink(QUILLBOX_WINDOW_BINARY, (dir / "libexec/quillbox/quillbox-window").c_str()), 0);
    const std::string window = RealPath(QUILLBOX_WINDOW_BINARY);
    const QStringList folders {Q(dir / "in"), Q(dir / "out")};
    for (const std::string& program : {std::string(QUILLBOX_BINARY), dir / "bin/quillbox"}) {
        SCOPED_TRACE(program);
        QProcess* process = Start(program, folders, state);
        ASSERT_TRUE(BecameTheWindow(process, window)) << process->readAllStandardError().toStdString();
        EXPECT_EQ(ProcFile(process->processId(), "cmdline"), CommandLineOf(QStringList {Q(program)} + folders));
        // The window is told the folder of the program the user started.
        const std::string real = RealPath(program);
        const std::string folder = real.substr(0, real.rfind('/'));
        EXPECT_NE(
            ProcFile(process->processId(), "environ").find(std::string("QUILLBOX_PROGRAM_FOLDER=") + folder + '\0'),
            std::string::npos);
        Stop(process);
    }
}

TEST(WindowStart, MissingWindowOrOptionsToItAreRefusedInOneLine)
{
    TempDir dir;
    TempDir state;
    dir.mkdir("bin");
    PlaceProgram(QUILLBOX_BINARY, dir / "bin/quillbox");
    {
        QProcess* process = Start(dir / "bin/quillbox", {Q(dir.path())}, state);
        ASSERT_TRUE(process->waitForFinished(60000));
        EXPECT_EQ(process->exitCode(), 2);
        EXPECT_EQ(process->readAllStandardError().toStdString(),
                  "quillbox: the window cannot be started, " + dir.path() +
                      "/libexec/quillbox/quillbox-window: No such file or directory; --copy or --move runs without "
                      "one\n");
        delete process;
    }
    // The command line is quillbox's alone: the window takes folders only.
    QProcess* process = Start(QUILLBOX_WINDOW_BINARY, {QStringLiteral("--copy"), Q(dir.path()), Q(dir.path())}, state);
    ASSERT_TRUE(process->waitForFinished(60000));
    EXPECT_EQ(process->exitCode(), 2);
    EXPECT_EQ(process->readAllStandardError().toStdString(),
              "quillbox-window: the window takes folders only; quillbox runs the command line\n");
    delete process;
}

} // namespace
} // namespace quillbox::test
