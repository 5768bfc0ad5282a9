// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "tests/support/test_file_system.h"

namespace quillbox::test {

// The name the window's tests know the test file system by.
using HookedFileSystem = TestFileSystem;

} // namespace quillbox::test
