// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/cli/standard_streams.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include "core/log/log_text.h"
#include "platform/error_text.h"

namespace quillbox::app {

namespace {

std::atomic<int> g_writeErrno {0};
std::atomic<bool> g_writeFailed {false};

} // namespace

void ReserveStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // Opened the wrong way round: reading stdin or writing stdout then
        // fails with EBADF, as it would have on the closed descriptor.
        const int opened = ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
        if (opened != -1 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

void BufferStandardOutput()
{
    // A pipe or a file gets the entries in larger blocks: fewer writes and
    // fewer waits on the reader. A terminal keeps its line buffering.
    if (::isatty(STDOUT_FILENO) == 0)
        std::setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
}

void IgnoreBrokenPipe()
{
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

bool StandardOutputFailed()
{
    if (g_writeFailed.load(std::memory_order_relaxed))
        return true;
    const int reason = errno;
    if (std::ferror(stdout) == 0)
        return false;
    // Checked right after the write that failed, errno still tells why.
    int none = 0;
    g_writeErrno.compare_exchange_strong(none, reason);
    g_writeFailed.store(true, std::memory_order_relaxed);
    return true;
}

void PrintLine(const std::string& line)
{
    const std::string text = EscapeText(line);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

int CloseStandardOutput(int status)
{
    const bool pending = __fpending(stdout) != 0;
    const bool failedBefore = StandardOutputFailed();
    errno = 0;
    const bool closeFailed = std::fclose(stdout) != 0;
    const int closeErrno = errno;
    if (!failedBefore && !(closeFailed && (pending || closeErrno != EBADF)))
        return status;
    int reason = closeFailed ? closeErrno : 0;
    if (reason == 0)
        reason = g_writeErrno.load();
    if (reason != 0)
        std::fprintf(stderr, "quillbox: write error: %s\n", ErrorText(reason).c_str());
    else
        std::fputs("quillbox: write error\n", stderr);
    return status > 128 ? status : kExitWriteError;
}

} // namespace quillbox::app
