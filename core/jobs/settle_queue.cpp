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

void SettleQueue::arm(const std::string& name, Entry& entry, std::optional<Time> deadline)
{
    if (entry.deadline)
        m_deadlines.erase(*entry.deadline);
    entry.deadline.reset();
    if (deadline)
        entry.deadline = m_deadlines.emplace(*deadline, name);
}

void SettleQueue::queue(const std::string& name, Time at, const FileLook& look, Time lookedAt, bool found)
{
    if (IsIgnoredName(name, m_ignores))
        return;
    Entry& entry = m_files[name];
    if (entry.aside && entry.look.device == look.device && entry.look.inode == look.inode &&
        entry.look.size == look.size && entry.look.mtimeNs == look.mtimeNs)
        return; // touched, but its contents are what they were
    entry.aside = false;
    entry.look = look;
    entry.lookedAt = lookedAt;
    entry.found = found;
    arm(name, entry, at + m_settle);
}

void SettleQueue::setAside(const std::string& name, const FileLook& look)
{
    if (IsIgnoredName(name, m_ignores))
        return;
    Entry& entry = m_files[name];
    entry.look = look;
    entry.found = false;
    entry.aside = true;
    arm(name, entry, std::nullopt);
}

void SettleQueue::forget(const std::string& name)
{
    const auto found = m_files.find(name);
    if (found == m_files.end())
        return;
    arm(name, found->second, std::nullopt);
    m_files.erase(found);
}

void SettleQueue::clear()
{
    m_files.clear();
    m_deadlines.clear();
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
    std::vector<std::string> quiet;
    std::vector<FileLook> looks;
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
        const std::string name = m_deadlines.begin()->second;
        Entry& entry = m_files.at(name);
        const bool trusted = entry.found || now - entry.lookedAt < fresh();
        const std::optional<FileLook> current = trusted ? entry.look : probe.look(name);
        if (!current) {
            forget(name);
            continue;
        }
        if (*current != entry.look) {
            entry.look = *current;
            entry.lookedAt = now;
            arm(name, entry, now + m_settle);
            continue;
        }
        arm(name, entry, std::nullopt);
        quiet.push_back(name);
        looks.push_back(*current);
    }
    if (quiet.empty())
        return quiet;
    const std::vector<Writers> writers = probe.writers(quiet, looks);
    std::vector<std::string> taken;
    taken.reserve(quiet.size());
    for (std::size_t i = 0; i < quiet.size(); ++i) {
        const Writers answer = i < writers.size() ? writers[i] : Writers::Some;
        if (answer == Writers::None) {
            m_files.erase(quiet[i]);
            taken.push_back(std::move(quiet[i]));
            if (takenLooks != nullptr)
                takenLooks->push_back(looks[i]);
            continue;
        }
        Entry& entry = m_files.at(quiet[i]);
        if (answer == Writers::Some) {
            // Asked about again later, even if nothing tells of the writer
            // letting go; a change meanwhile comes as an event.
            arm(quiet[i], entry, now + heldRetry());
            continue;
        }
        // Not the file looked at: it is looked at again, and waits anew.
        const std::optional<FileLook> current = probe.look(quiet[i]);
        if (!current) {
            forget(quiet[i]);
            continue;
        }
        entry.look = *current;
        entry.lookedAt = now;
        entry.found = false;
        arm(quiet[i], entry, now + m_settle);
    }
    return taken;
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
