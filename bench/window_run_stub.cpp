#include "runner.h"

namespace quillbox::bench {
RunResult RunThroughWindow(const RunSpec& spec) { return RunEngineOnly(spec); }
} // namespace quillbox::bench
