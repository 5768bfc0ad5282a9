// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The tools that make file-system faults happen on purpose, and the fake
// file system the run and file-layer tests go through.

#include "tests/support/capabilities.h"
#include "tests/support/file_makers.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/test_file_system.h"
#include "tests/support/tmpfs_mount.h"
#include "tests/support/watchdog.h"
