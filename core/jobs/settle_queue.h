// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ports/clock.h"
#include "core/ports/file_system.h"

namespace quillbox {

// What a file looks like from outside, enough to tell that it changed: a
// write, a truncation, a chmod or a rename moves its identity on.
using FileLook = FileIdentity;

// Whether anybody may still write a due file.
enum class Writers : std::uint8_t {
    None,   // nobody holds it open for writing
    Some,   // some process does (a writable mapping included)
    Changed // it is no longer the file looked at
};

// What the watcher asks of the world when a file's settle time has passed.
class SettleProbe {
public:
    virtual ~SettleProbe() = default;
    // The file `name` as it is now; nothing when it is gone or no file a run
    // would take (a folder, a FIFO).
    virtual std::optional<FileLook> look(const std::string& name) = 0;
    // Whether anybody may write each of the files `names`, which looked like
    // `files`. Called once for all the files that are due together.
    virtual std::vector<Writers> writers(const std::vector<std::string>& names, const std::vector<FileLook>& files) = 0;
};

// Whether `name` is a partial download ("*.part", "*.crdownload",
// "*.download", "*.partial", "*.tmp") or matches one of `ignores` (shell
// patterns): such a file is never taken.
bool IsIgnoredName(const std::string& name, const std::vector<std::string>& ignores);

// The files of a watched folder waiting to be quiet for the settle time.
// Time is given by the caller, so the queue can be driven without waiting.
//
// A file is due once `settle` has passed since it was last touched. It is
// taken only when it still looks as it did then (no write, no rename, no
// change of size or time went unnoticed) and nobody holds it open for
// writing. A file that changed waits again from the moment that was seen; a
// file held open is asked about again every heldRetry() until it is taken,
// touched or gone: its writer may let go of it without a word to the
// watcher (a close told under another folder's name, a mapping undone).
// A file set aside waits for no deadline at all until it changes.
class SettleQueue {
public:
    using Time = Clock::Instant;

    SettleQueue(std::chrono::nanoseconds settle, std::vector<std::string> ignores);

    std::chrono::nanoseconds settle() const { return m_settle; }

    // `name` was created, written, renamed in, changed or seen by a scan at
    // `at`, and looked like `look` at `lookedAt`. Ignored names are never
    // queued.
    void touched(const std::string& name, Time at, const FileLook& look, Time lookedAt)
    {
        queue(name, at, look, lookedAt, false);
    }
    void touched(const std::string& name, Time at, const FileLook& look) { touched(name, at, look, at); }
    // `name` was found at `at` by a listing made while the folder was
    // already watched, as the file of `identity`'s device and inode; nothing
    // else of it is known. It is not looked at when due: every change since
    // would have come as an event and made it touched. Where a listing may
    // not tell a file's own inode, or changes may come without events, the
    // caller looks and calls touched() instead.
    void found(const std::string& name, Time at, const FileLook& identity) { queue(name, at, identity, at, true); }
    // `name` is left where it is until it is touched with other contents
    // (another inode, length or modification time) than `look`'s.
    void setAside(const std::string& name, const FileLook& look);
    bool setAside(const std::string& name) const
    {
        const auto found = m_files.find(name);
        return found != m_files.end() && found->second.aside;
    }
    // `name` went away (removed or renamed out).
    void forget(const std::string& name);
    // Everything is forgotten (before a scan of the whole folder).
    void clear();

    // The earliest deadline; nothing when no file waits for one.
    std::optional<Time> nextDeadline() const;

    // The files due at `now` that are quiet and not held for writing, in
    // the order they became due; they leave the queue. Files found gone
    // leave it too; the others wait as said above. A file looked at less
    // than fresh() ago, or found() and not touched since, is not looked at
    // again: the folder is watched, so a change since would have come as an
    // event and moved its deadline on.
    // With `looks`, what each file taken looked like is put there too.
    std::vector<std::string> takeDue(Time now, SettleProbe& probe, std::vector<FileLook>* looks = nullptr);
    std::chrono::nanoseconds fresh() const { return std::min<std::chrono::nanoseconds>(m_settle / 4, kMostFresh); }
    static constexpr std::chrono::milliseconds kMostFresh {50};
    // How long a file held open for writing waits before it is asked about
    // again: the settle time, and never less than kLeastRetry.
    std::chrono::nanoseconds heldRetry() const { return std::max<std::chrono::nanoseconds>(m_settle, kLeastRetry); }
    static constexpr std::chrono::milliseconds kLeastRetry {250};

    std::size_t waiting() const { return m_files.size(); }
    bool contains(const std::string& name) const { return m_files.contains(name); }

private:
    struct Entry;
    using File = std::pair<const std::string, Entry>;
    // Each deadline leads to its file's entry itself, which stays where it
    // is while other files come and go.
    using Deadlines = std::multimap<Time, File*>;
    struct Entry {
        FileLook look;
        Time lookedAt;
        bool found = false;                          // by a listing, and no event since
        bool aside = false;                          // set aside until it changes
        std::optional<Deadlines::iterator> deadline; // nothing: set aside, or being asked about
    };
    void arm(File& file, std::optional<Time> deadline);
    void queue(const std::string& name, Time at, const FileLook& look, Time lookedAt, bool found);

    std::chrono::nanoseconds m_settle;
    std::vector<std::string> m_ignores;
    std::unordered_map<std::string, Entry> m_files;
    Deadlines m_deadlines;
};

// A folder whose changes made elsewhere are not told (a share) is listed
// again and again; this tells what each listing shows as new or changed
// since the one before.
class RepeatedListing {
public:
    using Listing = std::vector<std::pair<std::string, FileLook>>;

    // How often the folder is listed: every settle time, but at least 2 s
    // and at most 60 s apart (from 1 to 30 listings a minute).
    static std::chrono::nanoseconds interval(std::chrono::nanoseconds settle);

    // The files of `listing` that are new or look otherwise than in the
    // listing before; the first listing's files are all new. A file that
    // stays as it was, taken or not, is not told again.
    Listing changes(Listing listing);

private:
    std::unordered_map<std::string, FileLook> m_last;
};

} // namespace quillbox
