// SPDX-License-Identifier: GPL-3.0-or-later
// The watch's start: the session it begins, and the files that runs taken
// back put back, read from earlier journals and told again when seen.
#include "app/watch/watcher.h"

#include <utility>

#include "core/bucket.h"
#include "core/log/log_text.h"
#include "platform/watch_sessions.h"

namespace quillbox::app {

FsResult<ResolvedFolder> Watcher::resolvedDestination()
{
    FsResult<ResolvedFolder> resolved = m_fs.resolveFolder(m_request.destination);
    if (!resolved.ok() || !m_destinationToMake)
        return resolved;
    // Not there yet: named as its runs will name it once made, by its
    // parent's resolved path.
    std::string path = m_request.destination;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return resolved;
    const FsResult<ResolvedFolder> parent = m_fs.resolveFolder(slash == 0 ? "/" : path.substr(0, slash));
    if (parent.ok())
        resolved.value().path = parent.value().path + path.substr(slash + 1) + "/";
    return resolved;
}

void Watcher::beginSession()
{
    const FsResult<ResolvedFolder> source = m_fs.resolveFolder(m_request.source);
    const FsResult<ResolvedFolder> destination = resolvedDestination();
    FsStatus begun = source.ok() ? destination.status() : source.status();
    if (begun.ok())
        begun = posix::BeginWatchSession(m_journals.folder(), source.value().path, destination.value().path);
    if (!begun.ok())
        std::fprintf(stderr, "quillbox: warning: this watch's batches cannot be taken back as one session: %s\n",
                     EscapeText(begun.reason).c_str());
}

void Watcher::learnTakenBack()
{
    if (m_request.mode != TransferMode::Move)
        return;
    const FsResult<ResolvedFolder> source = m_fs.resolveFolder(m_request.source);
    const FsResult<ResolvedFolder> destination = resolvedDestination();
    if (!source.ok() || !destination.ok())
        return;
    // Only the header of a journal of other folders is read.
    struct PutBack final : JournalVisitor {
        const std::string& source;
        const std::string& destination;
        bool ours = false;
        bool undone = false;
        std::vector<std::pair<std::string, FileLook>> files;
        PutBack(const std::string& from, const std::string& to) : source(from), destination(to) {}
        void header(const JournalHeader& header) override
        {
            ours = header.source.path == source && header.destination.path == destination;
        }
        bool file(const JournalFile& file) override
        {
            if (ours && file.mode == TransferMode::Move)
                files.emplace_back(file.name, file.placed);
            return ours;
        }
        void takenBack() override { undone = true; }
    };
    for (const std::string& run : posix::RunsInFolder(m_journals.folder())) {
        PutBack putBack(source.value().path, destination.value().path);
        if (m_journals.read(run, putBack).ok() && putBack.ours && putBack.undone) {
            for (auto& [name, look] : putBack.files)
                m_putBack.emplace(std::move(name), look);
        }
    }
}

bool Watcher::cameBack(const std::string& name, const FileLook& look) const
{
    const auto found = m_putBack.find(name);
    if (found == m_putBack.end())
        return false;
    const FileLook& was = found->second;
    if (was.mtimeNs == 0 && was.size == 0)
        return was.device == look.device && was.inode == look.inode;
    return was.size == look.size && was.mtimeNs == look.mtimeNs;
}

} // namespace quillbox::app
