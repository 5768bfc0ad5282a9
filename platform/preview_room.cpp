// SPDX-License-Identifier: GPL-3.0-or-later
// The room a preview counts on each destination file system: blocks and
// inodes taken by the files in listing order, and given back.
#include "platform/preview_room.h"

#include "platform/error_text.h"

namespace quillbox::posix {

std::uint64_t Blocks(std::uint64_t bytes, std::uint64_t unit)
{
    return (bytes + unit - 1) / unit;
}

std::uint64_t BlocksOfCopy(std::uint64_t size, std::uint64_t blocks512, std::uint64_t unit)
{
    const std::uint64_t held = blocks512 * 512;
    return Blocks(held < size ? held : size, unit);
}

bool Take(PreviewState::Room& room, std::uint64_t blocks, std::uint64_t inodes)
{
    if ((room.blocksLimited && blocks > room.blocks) || (room.inodesLimited && inodes > room.inodes))
        return false;
    room.blocks -= room.blocksLimited ? blocks : 0;
    room.inodes -= room.inodesLimited ? inodes : 0;
    return true;
}

void GiveBack(PreviewState::Room& room, std::uint64_t blocks, std::uint64_t inodes)
{
    room.blocks += room.blocksLimited ? blocks : 0;
    room.inodes += room.inodesLimited ? inodes : 0;
}

NewFileRoom::NewFileRoom(PreviewState& state, const PreviewState::FolderFacts& folder, std::uint64_t blocks)
    : m_room(state.rooms[folder.room]), m_blocks(blocks), m_taken(Take(m_room, blocks, 1))
{
}

FileOutcome NewFileRoom::failed(int error)
{
    GiveBack(m_room, m_blocks, 1);
    return {FileStage::Transfer, Failure(error)};
}

} // namespace quillbox::posix
