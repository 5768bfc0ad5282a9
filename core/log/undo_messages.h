// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>

#include "core/journal/journal.h"

namespace quillbox {

// The texts of an undo's log; `target` is where the run put a file, `run`
// a run as RunDescription tells it.
std::string TakingBackMessage(const std::string& run);
// What an undo of `run` will do, counted from its journal by kind: what an
// earlier undo left of it, where it left some.
std::string TakeBackPlanMessage(const JournalSummary& run);
// The files `run` placed, for a list of runs: "3 file(s) placed", and by
// kind where it holds both.
std::string PlacedFilesText(const JournalSummary& run);
// What an undo left of a run for a later one: "3 left", or the folders
// where no file is left.
std::string LeftText(const JournalLeft& left);
std::string AlreadyTakenBackMessage(const std::string& run);
std::string RunInProgressMessage(const std::string& run);
std::string JournalUnreadableMessage(const std::string& reason);
std::string NothingTakenBackMessage(const std::string& destination, const std::string& reason);
std::string MovedFilesStayMessage(const std::string& destination, const std::string& source, const std::string& reason);
std::string LeftInPlaceMessage(const std::string& target);
std::string NotTakenBackMessage(const std::string& target, const std::string& reason);
// A moved file found both in its bucket and, the same, in its old place.
std::string CopyRemovedMessage(const std::string& target, const std::string& original);
std::string DamagedRecordMessage(const JournalDamage& damage);
std::string LeftFolderMessage(const std::string& folder, const std::string& reason);
std::string NotMarkedMessage(const std::string& reason);
// A file this undo left under its own name after renaming it, which the
// journal could not note (JournalKeptAs).
std::string KeptAsNotNotedMessage(const std::string& target, const std::string& reason);
std::string UndoCompleteMessage(std::uint64_t putBack, std::uint64_t removed, std::uint64_t kept);
// Files a damaged journal kept from being taken back; 0 where how many
// cannot be told.
std::string DamagedJournalMessage(std::uint64_t unreadable);
// Files left for a reason that may pass, which another undo takes back.
std::string LeftForLaterMessage(std::uint64_t left);
// Folders the run made that could not be removed yet; another undo tries them again.
std::string FoldersLeftForLaterMessage(std::uint64_t folders);

} // namespace quillbox
