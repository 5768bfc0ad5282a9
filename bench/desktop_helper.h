// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quillbox::bench {

// `quillbox_bench --desktop COMMAND ...`: the file work of the benchmark of
// the whole program under a desktop session (see desktop_helper.cpp).
int DesktopHelper(int argc, char** argv);

} // namespace quillbox::bench
