// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/jobs/run_request.h"

#include "core/bucket.h"

namespace quillbox {

std::string RequestFolder(std::string folder, const std::string& workingFolder)
{
    if (!folder.empty() && folder[0] != kPathSeparator && !workingFolder.empty())
        folder = WithTrailingSeparator(workingFolder) + folder;
    return WithTrailingSeparator(std::move(folder));
}

void MakeFoldersAbsolute(RunRequest& request, const std::string& workingFolder)
{
    request.source = RequestFolder(std::move(request.source), workingFolder);
    request.destination = RequestFolder(std::move(request.destination), workingFolder);
}

RunSettings SettingsOf(const RunRequest& request)
{
    RunSettings settings;
    settings.source = request.source;
    settings.destination = request.destination;
    settings.createFolders = request.createDirs;
    settings.only = request.only;
    settings.destinationMade = request.destinationMade;
    return settings;
}

} // namespace quillbox
