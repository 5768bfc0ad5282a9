// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <QAbstractListModel>
#include <QIcon>

#include "core/ports/log_window_port.h"

namespace quillbox::ui {

// The log's rows: appended in order and never dropped. The texts are kept
// as bytes in large blocks, with a 12-byte record per row, so a long run's
// log stays small. New rows are held back until flush(), so that the view
// learns about them in batches rather than one by one.
class LogModel final : public QAbstractListModel {
    Q_OBJECT

public:
    explicit LogModel(QObject* parent = nullptr);
    ~LogModel() override;

    // Stores a row; the view sees it at the next flush().
    void append(std::string_view text, LogIcon icon);
    // Lets the view see every row stored so far, in one insertion.
    void flush();

    // Every row stored, whether the view has seen it or not.
    std::size_t entryCount() const { return m_rows.size(); }
    std::string_view entryText(std::size_t row) const;
    // A row as the window shows it: control characters, bytes that are not
    // UTF-8 and backslashes escaped, so one entry is always one line.
    QString displayText(std::size_t row) const;
    LogIcon entryIcon(std::size_t row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    static constexpr std::size_t kBlockBytes = 256 * 1024;

signals:
    // A row was stored while none was pending: time to schedule a flush.
    void rowsPending();

private:
    struct Row {
        std::uint32_t block;
        std::uint32_t offset;
        std::uint32_t length : 30;
        std::uint32_t icon : 2;
    };
    static_assert(sizeof(Row) == 12);

    struct Block {
        std::unique_ptr<char[]> bytes;
        std::size_t capacity = 0;
        std::size_t used = 0;
    };

    std::vector<Block> m_blocks;
    std::vector<Row> m_rows;
    std::size_t m_shown = 0;
    QIcon m_icons[4];
};

} // namespace quillbox::ui
