// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/name_moves.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillbox::posix {

namespace {

bool IsRegularFile(int dir, const char* name)
{
    struct stat st; // filled by the call
    return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

} // namespace

bool NoReplaceRefused(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

bool LinksRefused(int error)
{
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS;
}

int MoveNameNoReplace(SystemCalls& calls, int fromDir, const char* from, int toDir, const char* to,
                      BucketTraits* traits)
{
    int error = 0;
    if (traits == nullptr || !traits->noReplaceRefused) {
        if (calls.renameNoReplace(fromDir, from, toDir, to) == 0)
            return 0;
        error = errno;
        if (!NoReplaceRefused(error))
            return error;
        if (traits != nullptr)
            traits->noReplaceRefused = true;
    }

    if (traits == nullptr || !traits->linksRefused) {
        if (calls.link(fromDir, from, toDir, to, 0) == 0) {
            if (::unlinkat(fromDir, from, 0) != 0) {
                error = errno;
                ::unlinkat(toDir, to, 0);
                return error;
            }
            return 0;
        }
        error = errno;
        if (!LinksRefused(error))
            return error;
        // Every file system refuses a link of a folder (EPERM), and one may
        // have taken the file's name since it was listed: only a refused
        // link of a file teaches that this file system makes none.
        if (traits != nullptr && IsRegularFile(fromDir, from))
            traits->linksRefused = true;
    }

    struct stat st; // filled by the call
    if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    if (calls.renameReplace(fromDir, from, toDir, to) != 0)
        return errno;
    return 0;
}

} // namespace quillbox::posix
