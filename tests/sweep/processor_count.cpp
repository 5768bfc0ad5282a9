// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded into the program by the fault sweep: the number of processors
// the program sees is QUILLBOX_SWEEP_CPUS, so that one machine can run a
// local copy both one file at a time and with files in flight. The program
// asks through get_nprocs() (std::thread::hardware_concurrency), which
// taskset does not change.
#include <cstdlib>
#include <sys/sysinfo.h>

extern "C" int get_nprocs(void) __THROW
{
    const char* wanted = std::getenv("QUILLBOX_SWEEP_CPUS");
    const int count = wanted != nullptr ? std::atoi(wanted) : 0;
    return count > 0 ? count : 1;
}
