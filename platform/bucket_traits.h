// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quillbox::posix {

// What a run has learnt of the file system a bucket folder lies on, so that a
// refusal is met once a run, not once per file: on a network share or a
// user-space file system every call is a round trip, and one that fails
// every time doubles what a file costs. The bucket folders of one file
// system share one of these.
struct BucketTraits {
    bool noReplaceRefused = false; // renameat2(RENAME_NOREPLACE)
    bool linksRefused = false;     // hard links
    bool noAnonymousFiles = false; // O_TMPFILE refused, or links of such files
    bool noKernelCopy = false;     // copy_file_range refused from the source
};

} // namespace quillbox::posix
