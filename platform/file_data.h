// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/stat.h>

#include "core/ports/file_system.h"
#include "platform/bucket_traits.h"

namespace quillbox::posix {

struct CopyState;

// Copies the data of `in` to `out` in chunks sized to take about 50 ms,
// honouring the stop flag of `state` between them. Only a file with fewer
// blocks than its length can have holes: for such a file the data segments
// alone are copied and the length set at the end, so holes stay holes.
FsStatus CopyData(CopyState& state, BucketTraits& traits, int in, int out, const struct stat& st);

// Gives `out` the owner (with `forMove`, where the process may), extended
// attributes (all it may set with `forMove`, else `user.*`), mode and times
// of `in`; an attribute the target refuses is noted in `notKept`, once.
FsStatus SetAttributes(CopyState& state, int in, int out, const struct stat& st, bool forMove, FsStatus& notKept);

} // namespace quillbox::posix
