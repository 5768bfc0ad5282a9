// SPDX-License-Identifier: GPL-3.0-or-later
// An undo's pass over a run's journal: what becomes of each file the run
// placed, and what is counted and told of it.
#include "core/jobs/undo_pass.h"

#include <algorithm>
#include <cerrno>

#include "core/log/undo_messages.h"

namespace quillbox {

UndoPass::UndoPass(JobReport& report, JournalStore& journals, const JournalSummary& run,
                   std::vector<std::unique_ptr<RunTakeBack>>& folders, std::uint64_t claim, const RunControls& controls)
    : m_report(report)
    , m_journals(journals)
    , m_header(run.header)
    , m_runId(run.id)
    , m_keptAs(run.keptAs)
    , m_only(run.left ? &*run.left : nullptr)
    , m_folders(folders)
    , m_controls(controls)
{
    m_toTakeBack[0] = m_only ? m_only->moved : run.moved;
    m_toTakeBack[1] = m_only ? m_only->copied : run.copied;
    m_intents = m_only ? m_only->intended : run.intended;
    if (m_folders.size() > 1)
        m_workers = std::make_unique<InOrderWorkers<UndoFileToTakeBack>>(
            m_folders.size(), controls.stop,
            [this](UndoFileToTakeBack& item, std::size_t worker) {
                if (item.act)
                    item.outcome =
                        m_folders[worker]->takeBack(item.file.mode, item.file.bucket, item.file.name, item.file.placed);
            },
            claim);
}

bool UndoPass::file(const JournalFile& record)
{
    if (m_controls.stop.load(std::memory_order_relaxed))
        stopped = true;
    if (stopped)
        return false;
    // An earlier undo took the others back, or left them for good.
    if (m_only != nullptr && !m_only->holds(record.number))
        return true;
    const JournalFile& file = asLeft(record);
    m_lastRead = file.number;
    RunTakeBack& folders = *m_folders.front();
    // A folder that is not the one the run used was named once, at the
    // start: its files stay.
    const bool act = !(file.mode == TransferMode::Copy && file.replaced) && folders.destinationStatus().ok() &&
        (file.mode == TransferMode::Copy || folders.sourceStatus().ok());
    if (!m_workers) {
        settle(file, act, act ? folders.takeBack(file.mode, file.bucket, file.name, file.placed) : TakeBackOutcome {});
        return true;
    }
    if (m_workers->full()) {
        settle(m_workers->oldest());
        m_workers->takeBack();
    }
    // A file that stays goes through the workers too, to keep its place
    // in the order.
    UndoFileToTakeBack& item = m_workers->next();
    item.file = file;
    item.act = act;
    item.outcome = {};
    m_workers->handOver();
    return !stopped;
}

void UndoPass::drain()
{
    while (m_workers && !m_workers->empty()) {
        settle(m_workers->oldest());
        m_workers->takeBack();
    }
}

void UndoPass::settleLinked()
{
    std::vector<JournalFile> linked;
    linked.swap(m_linked);
    for (const JournalFile& file : linked) {
        if (stopped || m_controls.stop.load(std::memory_order_relaxed)) {
            stopped = true;
            later.add(file);
            continue;
        }
        RunTakeBack& folders = *m_folders.front();
        TakeBackOutcome outcome = folders.takeBack(file.mode, file.bucket, file.name, file.placed);
        if (outcome.result == TakeBackResult::Skipped && outcome.lasting && outcome.seen.inode != 0 &&
            outcome.seen.sameContentOf(file.placed) && ChangedByTheRun(file.placed, outcome.seen.ctimeNs)) {
            FileIdentity now = file.placed;
            now.ctimeNs = outcome.seen.ctimeNs;
            outcome = folders.takeBack(file.mode, file.bucket, file.name, now);
        }
        noteKeptAs(file, outcome);
        noteLinks(file, outcome);
        record(file, outcome);
    }
}

void UndoPass::intended(const JournalIntent& intent)
{
    drain();
    // An earlier undo settled every one of them.
    if (m_only != nullptr && m_only->intended == 0)
        return;
    if (stopped || m_controls.stop.load(std::memory_order_relaxed)) {
        stopped = true;
        return;
    }
    ++m_intentsSettled;
    RunCounters& counters = m_report.counters();
    counters.addProcessed();
    counters.addBytes(intent.before.size);
    m_target.assign(m_header.destination.path).append(1, intent.bucket).append(1, '/').append(intent.name);
    m_report.observer().fileStarted(m_target);
    if (intent.mode == TransferMode::Copy && intent.replacing) {
        ++kept;
        m_report.log(LogIcon::Exclamation, LeftInPlaceMessage(m_target));
        return;
    }
    const TakeBackOutcome outcome =
        m_folders.front()->takeBackIntended(intent.mode, intent.bucket, intent.name, intent.before);
    if (count(outcome, m_target, intent.name))
        later.addIntended();
}

void UndoPass::bucket(const JournalBucket& bucket)
{
    made[static_cast<unsigned char>(bucket.bucket)] = bucket.identity;
}

void UndoPass::damaged(const JournalDamage& damage)
{
    // What came before the damage is told before it.
    drain();
    unreadable += damage.files;
    m_report.log(LogIcon::Exclamation, DamagedRecordMessage(damage));
    if (damage.files == 0)
        unknownLoss = true;
    m_report.observer().logWindowWanted();
}

JournalLeft& UndoPass::left()
{
    if (stopped) {
        for (const JournalFile& file : m_linked)
            later.add(file);
        m_linked.clear();
        later.addTail(m_lastRead + 1, m_toTakeBack[0] - m_settled[0], m_toTakeBack[1] - m_settled[1], m_only);
        if (m_intents > m_intentsSettled)
            later.addIntended(m_intents - m_intentsSettled);
    }
    return later.finish();
}

std::uint64_t UndoPass::madeFolders() const
{
    return static_cast<std::uint64_t>(
        std::count_if(made.begin(), made.end(), [](const auto& m) { return m.has_value(); }));
}

void UndoPass::settle(const UndoFileToTakeBack& item)
{
    // A file Stop kept the workers from: nothing was done with it.
    if (item.skipped) {
        stopped = true;
        ++m_settled[item.file.mode == TransferMode::Move ? 0 : 1];
        later.add(item.file);
    } else {
        settle(item.file, item.act, item.outcome);
    }
}

void UndoPass::settle(const JournalFile& file, bool act, const TakeBackOutcome& outcome)
{
    RunCounters& counters = m_report.counters();
    counters.addProcessed();
    counters.addBytes(file.placed.size);
    ++m_settled[file.mode == TransferMode::Move ? 0 : 1];
    m_report.observer().fileStarted(target(file));
    if (file.mode == TransferMode::Copy && file.replaced) {
        ++kept;
        m_report.log(LogIcon::Exclamation, LeftInPlaceMessage(m_target));
        return;
    }
    if (!act) {
        ++kept;
        counters.addFailed();
        const FsStatus& why = file.mode == TransferMode::Copy || !m_folders.front()->destinationStatus().ok()
            ? m_folders.front()->destinationStatus()
            : m_folders.front()->sourceStatus();
        if (why.error != ESTALE)
            later.add(file);
        return;
    }
    noteKeptAs(file, outcome);
    noteLinks(file, outcome);
    // A name of a hard-linked file that seems changed, or was in the way
    // of another name's take-back: it is tried again at the end.
    if (outcome.result == TakeBackResult::Skipped && outcome.links > 1 &&
        (!outcome.lasting || (outcome.seen.inode != 0 && outcome.seen.sameContentOf(file.placed)))) {
        m_linked.push_back(file);
        return;
    }
    record(file, outcome);
}

const JournalFile& UndoPass::asLeft(const JournalFile& file)
{
    const auto kept = m_keptAs.empty() ? m_keptAs.end() : m_keptAs.find(file.number);
    // Only the change time an undo's renames moved on is taken from it.
    if (kept == m_keptAs.end() || !kept->second.sameContentOf(file.placed))
        return file;
    m_asLeft = file;
    m_asLeft.placed.ctimeNs = kept->second.ctimeNs;
    return m_asLeft;
}

void UndoPass::noteKeptAs(const JournalFile& file, const TakeBackOutcome& outcome)
{
    // The take-back renamed the file and gave it its name back: that moved
    // its change time on, which the next undo is to know as an undo's.
    if (outcome.result != TakeBackResult::Skipped || !outcome.left.known() ||
        !outcome.left.sameContentOf(file.placed) || outcome.left.ctimeNs == file.placed.ctimeNs)
        return;
    // Tried twice: without it the file is lost to every later undo.
    FsStatus noted = m_journals.markKeptAs(m_runId, {file.number, outcome.left});
    if (!noted.ok())
        noted = m_journals.markKeptAs(m_runId, {file.number, outcome.left});
    if (!noted.ok())
        m_report.log(LogIcon::Exclamation, KeptAsNotNotedMessage(target(file), noted.reason));
}

void UndoPass::record(const JournalFile& file, const TakeBackOutcome& outcome)
{
    if (count(outcome, target(file), file.name))
        later.add(file);
}

bool UndoPass::count(const TakeBackOutcome& outcome, const std::string& target, const std::string& name)
{
    switch (outcome.result) {
    case TakeBackResult::PutBack:
        ++putBack;
        break;
    case TakeBackResult::CopyRemoved:
        ++putBack;
        m_report.log(LogIcon::Information, CopyRemovedMessage(target, m_header.source.path + name));
        break;
    case TakeBackResult::Removed:
        ++removed;
        break;
    case TakeBackResult::AlreadyBack:
        break;
    case TakeBackResult::Skipped:
        ++kept;
        m_report.counters().addFailed();
        m_report.log(LogIcon::Exclamation, NotTakenBackMessage(target, outcome.why.reason));
        return !outcome.lasting;
    }
    return false;
}

void UndoPass::noteLinks(const JournalFile& file, const TakeBackOutcome& outcome)
{
    if (outcome.links <= 1)
        return;
    std::vector<std::int64_t>& times = m_linkTimes[{file.placed.device, file.placed.inode}];
    times.push_back(file.placed.ctimeNs);
    if (outcome.left.inode != 0)
        times.push_back(outcome.left.ctimeNs);
}

bool UndoPass::ChangedByTheRun(const FileIdentity& placed, std::int64_t ctimeNs) const
{
    const auto found = m_linkTimes.find({placed.device, placed.inode});
    return found != m_linkTimes.end() &&
        std::find(found->second.begin(), found->second.end(), ctimeNs) != found->second.end();
}

const std::string& UndoPass::target(const JournalFile& file)
{
    m_target.assign(m_header.destination.path).append(1, file.bucket).append(1, '/').append(file.name);
    return m_target;
}
} // namespace quillbox
