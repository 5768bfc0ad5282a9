#include "core/run_messages.h"

namespace quillbox {

std::string ErrorWhileSieving(const FsStatus& status)
{
    return "Error while sieving: [" + std::to_string(status.error) + "] - " + status.reason + ".";
}

void AppendFailureMessage(std::string& out, const std::string& name, const FileOutcome& outcome)
{
    if (outcome.stage == FileStage::Examine) {
        out.append(ErrorWhileSieving(outcome.status));
        return;
    }
    out.append("Could not copy/move file ").append(name).append(". ");
    out.append(outcome.status.reason).append(".");
}

std::string FailureMessage(const std::string& name, const FileOutcome& outcome)
{
    std::string message;
    AppendFailureMessage(message, name, outcome);
    return message;
}

} // namespace quillbox
