// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/jobs/settle_queue.h"

#include <fnmatch.h>
#include <string_view>

namespace quillbox {

namespace {

// What partial downloads end with; "*.part" and the like as patterns.
constexpr std::string_view kPartialEndings[] = {".part", ".crdownload", ".download", ".partial", ".tmp"};

} // namespace

bool IsIgnoredName(const std::string& name, const std::vector<std::string>& ignores)
{
    for (const std::string_view ending : kPartialEndings) {
        if (name.ends_with(ending))
            return true;
    }
    for (const std::string& pattern : ignores) {
        if (::fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
            return true;
    }
    return false;
}

SettleQueue::SettleQueue(std::chrono::nanoseconds settle, std::vector<std::string> ignores)
    : m_settle(settle), m_ignores(std::move(ignores))
{
}

void SettleQueue::arm(File& file, std::optional<Time> deadline)
{
    Entry& entry = file.second;
    if (entry.deadline)
        m_deadlines.erase(*entry.deadline);
    entry.deadline.reset();
    if (deadline)
        entry.deadline = m_deadlines.emplace(*deadline, &file);
}

void SettleQueue::queue(const std::string& name, Time at, const FileLook& look, Time lookedAt, bool found)
{
    if (IsIgnoredName(name, m_ignores))
        return;
    File& file = *m_files.try_emplace(name).first;
    Entry& entry = file.second;
    if (entry.aside && entry.look.device == look.device && entry.look.inode == look.inode &&
        entry.look.size == look.size && entry.look.mtimeNs == look.mtimeNs)
        return; // touched, but its contents are what they were
    entry.aside = false;
    entry.look = look;
    entry.lookedAt = lookedAt;
    entry.found = found;
    arm(file, at + m_settle);
}

void SettleQueue::setAside(const std::string& name, const FileLook& look)
{
    if (IsIgnoredName(name, m_ignores))
        return;
    File& file = *m_files.try_emplace(name).first;
    file.second.look = look;
    file.second.found = false;
    file.second.aside = true;
    arm(file, std::nullopt);
}

void SettleQueue::forget(const std::string& name)
{
    const auto found = m_files.find(name);
    if (found == m_files.end())
        return;
    arm(*found, std::nullopt);
    m_files.erase(found);
}

void SettleQueue::clear()
{
    m_deadlines.clear();
    m_files.clear();
}

std::optional<SettleQueue::Time> SettleQueue::nextDeadline() const
{
    if (m_deadlines.empty())
        return std::nullopt;
    return m_deadlines.begin()->first;
}

std::vector<std::string> SettleQueue::takeDue(Time now, SettleProbe& probe, std::vector<FileLook>* takenLooks)
{
    // First the cheap look at each due file; the costly question of writers
    // is asked once, for the quiet ones together.
    std::vector<File*> quiet;
    std::vector<std::string> names;
    std::vector<FileLook> looks;
    // The due files leave the deadlines together: when they are all there
    // were (a folder found full at the start), with no tree to rebalance.
    std::vector<File*> due;
    const auto dueEnd = m_deadlines.upper_bound(now);
    for (auto it = m_deadlines.begin(); it != dueEnd; ++it) {
        it->second->second.deadline.reset();
        due.push_back(it->second);
    }
    m_deadlines.erase(m_deadlines.begin(), dueEnd);
    quiet.reserve(due.size());
    names.reserve(due.size());
    looks.reserve(due.size());
    for (File* dueFile : due) {
        File& file = *dueFile;
        Entry& entry = file.second;
        const bool trusted = entry.found || now - entry.lookedAt < fresh();
        const std::optional<FileLook> current = trusted ? entry.look : probe.look(file.first);
        if (!current) {
            forget(std::string(file.first));
            continue;
        }
        if (*current != entry.look) {
            entry.look = *current;
            entry.lookedAt = now;
            arm(file, now + m_settle);
            continue;
        }
        quiet.push_back(&file);
        names.push_back(file.first);
        looks.push_back(*current);
    }
    if (quiet.empty())
        return names;
    const std::vector<Writers> writers = probe.writers(names, looks);
    std::size_t taken = 0;
    for (std::size_t i = 0; i < quiet.size(); ++i) {
        const Writers answer = i < writers.size() ? writers[i] : Writers::Some;
        if (answer == Writers::None) {
            // Kept in place until every answer is seen.
            if (taken != i)
                names[taken] = std::move(names[i]);
            if (takenLooks != nullptr)
                takenLooks->push_back(looks[i]);
            ++taken;
            continue;
        }
        File& file = *quiet[i];
        if (answer == Writers::Some) {
            // Asked about again later, even if nothing tells of the writer
            // letting go; a change meanwhile comes as an event.
            arm(file, now + heldRetry());
            continue;
        }
        // Not the file looked at: it is looked at again, and waits anew.
        const std::optional<FileLook> current = probe.look(file.first);
        if (!current) {
            forget(std::string(file.first));
            continue;
        }
        file.second.look = *current;
        file.second.lookedAt = now;
        file.second.found = false;
        arm(file, now + m_settle);
    }
    names.resize(taken);
    // The files taken leave the queue; when they were all it held (a
    // folder found full at the start), at once.
    if (taken == m_files.size()) {
        m_files.clear();
    } else {
        for (const std::string& name : names)
            m_files.erase(name);
    }
    return names;
}

std::chrono::nanoseconds RepeatedListing::interval(std::chrono::nanoseconds settle)
{
    return std::clamp<std::chrono::nanoseconds>(settle, std::chrono::seconds(2), std::chrono::seconds(60));
}

RepeatedListing::Listing RepeatedListing::changes(Listing listing)
{
    std::unordered_map<std::string, FileLook> now;
    now.reserve(listing.size());
    Listing changed;
    for (auto& [name, look] : listing) {
        const auto before = m_last.find(name);
        if (before == m_last.end() || before->second != look)
            changed.emplace_back(name, look);
        now.emplace(std::move(name), look);
    }
    m_last = std::move(now);
    return changed;
}

} // namespace quillbox
