// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/log/log_model.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include <QString>

#include "core/log/log_text.h"
#include "ui/common/icons.h"
#include "ui/common/text_bytes.h"

namespace quillbox::ui {

LogModel::LogModel(QObject* parent) : QAbstractListModel(parent)
{
    m_icons[static_cast<int>(LogIcon::Information)] = PictureIcon(Picture::Information);
    m_icons[static_cast<int>(LogIcon::Exclamation)] = PictureIcon(Picture::Warning);
    m_icons[static_cast<int>(LogIcon::Critical)] = PictureIcon(Picture::Critical);
}

LogModel::~LogModel() = default;

void LogModel::append(std::string_view text, LogIcon icon)
{
    // A row longer than the length field can hold keeps its first ~1 GB.
    constexpr std::size_t kMaxLength = (std::size_t {1} << 30) - 1;
    text = text.substr(0, std::min(text.size(), kMaxLength));

    if (m_blocks.empty() || m_blocks.back().capacity - m_blocks.back().used < text.size()) {
        Block block;
        block.capacity = std::max(kBlockBytes, text.size());
        block.bytes = std::make_unique<char[]>(block.capacity);
        m_blocks.push_back(std::move(block));
    }
    Block& block = m_blocks.back();
    if (!text.empty())
        std::memcpy(block.bytes.get() + block.used, text.data(), text.size());
    Row row {};
    row.block = static_cast<std::uint32_t>(m_blocks.size() - 1);
    row.offset = static_cast<std::uint32_t>(block.used);
    row.length = static_cast<std::uint32_t>(text.size());
    row.icon = static_cast<std::uint32_t>(icon);
    block.used += text.size();

    const bool firstPending = m_rows.size() == m_shown;
    m_rows.push_back(row);
    if (firstPending)
        emit rowsPending();
}

void LogModel::flush()
{
    if (m_shown == m_rows.size())
        return;
    // The view counts rows in int; rows past that stay stored but unseen.
    const std::size_t limit = static_cast<std::size_t>(std::numeric_limits<int>::max());
    const std::size_t last = std::min(m_rows.size(), limit);
    if (last <= m_shown)
        return;
    beginInsertRows(QModelIndex(), static_cast<int>(m_shown), static_cast<int>(last - 1));
    m_shown = last;
    endInsertRows();
}

QString LogModel::displayText(std::size_t row) const
{
    return Utf8Text(EscapeText(entryText(row)));
}

std::string_view LogModel::entryText(std::size_t row) const
{
    const Row& r = m_rows.at(row);
    return std::string_view(m_blocks[r.block].bytes.get() + r.offset, r.length);
}

LogIcon LogModel::entryIcon(std::size_t row) const
{
    return static_cast<LogIcon>(m_rows.at(row).icon);
}

int LogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_shown);
}

QVariant LogModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || static_cast<std::size_t>(index.row()) >= m_shown)
        return {};
    const std::size_t row = static_cast<std::size_t>(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
    case Qt::ToolTipRole:
        // The whole entry, as the saved log writes it; the view decides
        // whether a tooltip is needed.
        return displayText(row);
    case Qt::DecorationRole: {
        const LogIcon icon = entryIcon(row);
        if (icon == LogIcon::None)
            return {};
        return m_icons[static_cast<int>(icon)];
    }
    default:
        return {};
    }
}

QVariant LogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return QStringLiteral("Logged Entries..");
    return QAbstractListModel::headerData(section, orientation, role);
}

Qt::ItemFlags LogModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

} // namespace quillbox::ui
