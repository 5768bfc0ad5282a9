// SPDX-License-Identifier: GPL-3.0-or-later
// The built program's --watch, run over a folder of its own as a user or a
// service runs it, for the watch's tests.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace quillbox::test {

inline constexpr int kBoundMs = 30000;

inline QString Q(const std::string& text)
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

} // namespace quillbox::test
