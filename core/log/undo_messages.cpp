// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/log/undo_messages.h"

#include "core/log/number_format.h"

namespace quillbox {

namespace {

std::string Count(std::uint64_t value)
{
    return CounterText(static_cast<double>(value));
}

} // namespace

std::string TakingBackMessage(const std::string& run)
{
    return "Taking back the run of " + run;
}

std::string TakeBackPlanMessage(const JournalSummary& run)
{
    const std::uint64_t moved = run.left ? run.left->moved : run.moved;
    const std::uint64_t copied = run.left ? run.left->copied : run.copied;
    const std::string putBack = "put back " + std::to_string(moved) + " moved file(s)";
    const std::string remove = "remove " + std::to_string(copied) + " copied file(s)";
    if (moved > 0 && copied > 0)
        return "It will " + putBack + " and " + remove + ".";
    const bool move = moved > 0 || (copied == 0 && run.header.mode == TransferMode::Move);
    return "It will " + (move ? putBack : remove) + ".";
}

std::string PlacedFilesText(const JournalSummary& run)
{
    std::string text = Count(run.files) + " file(s) placed";
    if (run.moved > 0 && run.copied > 0)
        text += " (" + Count(run.moved) + " moved, " + Count(run.copied) + " copied)";
    // A run that made its folders and placed nothing still made those.
    if (run.files == 0 && run.folders > 0)
        text += ", " + Count(run.folders) + " folder(s) made";
    return text;
}

std::string LeftText(const JournalLeft& left)
{
    if (left.files() > 0 || left.folders == 0)
        return Count(left.files()) + " left";
    return Count(left.folders) + " folder(s) left";
}

std::string AlreadyTakenBackMessage(const std::string& run)
{
    return "The run of " + run + " was taken back already. Nothing is changed.";
}

std::string RunInProgressMessage(const std::string& run)
{
    return "The run of " + run +
        " is still going, or another undo is taking it back. Nothing is changed; take it back once that has ended.";
}

std::string JournalUnreadableMessage(const std::string& reason)
{
    return "The journal of the run could not be read: " + reason + ".";
}

std::string NothingTakenBackMessage(const std::string& destination, const std::string& reason)
{
    return "Nothing is taken back from " + destination + ": " + reason + ".";
}

std::string MovedFilesStayMessage(const std::string& destination, const std::string& source, const std::string& reason)
{
    return "Moved files stay in the bucket folders of " + destination + ", as the source folder " + source +
        " cannot take them back: " + reason + ".";
}

std::string LeftInPlaceMessage(const std::string& target)
{
    return "Left in place: " + target + " replaced a file of the same name, which cannot be brought back.";
}

std::string CopyRemovedMessage(const std::string& target, const std::string& original)
{
    return "Removed " + target + ": the same file had stayed in its old place " + original +
        " as well (a move cut short), and is there.";
}

std::string NotTakenBackMessage(const std::string& target, const std::string& reason)
{
    return "Could not take back file " + target + ". " + reason + ".";
}

std::string DamagedRecordMessage(const JournalDamage& damage)
{
    const std::string where = "Record " + Count(damage.record) + " of the journal";
    if (!damage.name.empty())
        return where + " is damaged: file " + damage.name + " was not taken back, as its record cannot be trusted.";
    if (damage.files > 0)
        return where + " and what follows could not be read (" + damage.why + "): " + Count(damage.files) +
            " file(s) were not taken back.";
    return where + " could not be read (" + damage.why + "): any file it held was not taken back.";
}

std::string LeftFolderMessage(const std::string& folder, const std::string& reason)
{
    return "Left folder " + folder + " in place: " + reason + ".";
}

std::string NotMarkedMessage(const std::string& reason)
{
    return "The journal could not note that the run was taken back: " + reason + ".";
}

std::string KeptAsNotNotedMessage(const std::string& target, const std::string& reason)
{
    return "The journal could not note that this undo renamed " + target +
        " and gave it its name back, so a later undo will take it for a changed file: " + reason + ".";
}

std::string UndoCompleteMessage(std::uint64_t putBack, std::uint64_t removed, std::uint64_t kept)
{
    return "Undo complete. " + Count(putBack) + " file(s) put back, " + Count(removed) + " copies removed, " +
        Count(kept) + " left as they were.";
}

std::string DamagedJournalMessage(std::uint64_t unreadable)
{
    return "The journal is damaged: " + (unreadable > 0 ? Count(unreadable) + " file(s)" : std::string("files")) +
        " of the run could not be read from it and were not taken back.";
}

std::string LeftForLaterMessage(std::uint64_t left)
{
    return Count(left) +
        " file(s) were left for a reason that may pass: the run is partly taken back, and "
        "another undo of it takes them back.";
}

std::string FoldersLeftForLaterMessage(std::uint64_t folders)
{
    return Count(folders) +
        " folder(s) the run made were left for a reason that may pass: the run is partly taken back, and "
        "another undo of it removes them.";
}

} // namespace quillbox
