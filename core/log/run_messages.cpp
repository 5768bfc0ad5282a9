// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/log/run_messages.h"

namespace quillbox {

std::string NotFullPathMessage(const std::string& folder, const std::string& reason)
{
    return "The folder " + folder + " cannot be told as a full path (" + reason +
        "), so this run could not be taken back. Aborting.";
}

std::string LeftTemporaryMessage(const std::string& path)
{
    return "Found " + path +
        ", an unfinished copy an earlier run left when it was cut short; its original was not touched, and it is "
        "safe to delete.";
}

std::string JournalNotWrittenMessage(const std::string& reason)
{
    return "The journal of this run could not be written (" + reason + "): it cannot be taken back.";
}

std::string FolderNotLookedAtMessage(const std::string& folder, const std::string& reason)
{
    return "The folder " + folder + " could not be looked at (" + reason + "): this run cannot be taken back.";
}

std::string PlacedNotLookedAtMessage(const std::string& name)
{
    return "File " + name + " was placed but could not be looked at afterwards: it cannot be taken back.";
}

std::string MadeFolderNotLookedAtMessage(const std::string& folder, const std::string& reason)
{
    return "The folder " + folder + " was made but could not be looked at (" + reason + "): it cannot be taken back.";
}

std::string AttributesNotKeptMessage(const std::string& reason)
{
    return "Extended attributes could not be kept on some files (" + reason + "); the files were placed.";
}

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
