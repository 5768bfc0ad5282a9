// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/log/log_window.h"

#include <algorithm>

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeySequence>
#include <QMetaObject>
#include <QMouseEvent>
#include <QSaveFile>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QTreeView>

#include "core/log/log_text.h"
#include "ui/common/icons.h"
#include "ui/common/twips.h"
#include "ui/log/log_model.h"

namespace quillbox::ui {

namespace {

// While the window is visible, new rows reach the list at most this often.
constexpr int kFlushIntervalMs = 40;

// Rows too long for the column end in "…"; hovering one shows the whole
// entry as a tooltip, while a row that fits shows none.
class ElidedRowTipDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override
    {
        if (event == nullptr || event->type() != QEvent::ToolTip || !index.isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        if (sizeHint(option, index).width() <= option.rect.width()) {
            QToolTip::hideText();
            return true;
        }
        QToolTip::showText(event->globalPos(), index.data(Qt::ToolTipRole).toString(), view, option.rect);
        return true;
    }
};

// The list takes no row as current when it gains the focus before the user
// picked one (a view picks its first row then, and draws it as if chosen):
// no row looks chosen until the user chooses one, with a click or a key.
class LogList final : public QTreeView {
public:
    using QTreeView::QTreeView;

protected:
    void focusInEvent(QFocusEvent* event) override
    {
        const bool hadCurrent = currentIndex().isValid();
        QTreeView::focusInEvent(event);
        if (!hadCurrent && currentIndex().isValid() && selectionModel() != nullptr)
            selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    }
};

} // namespace

LogWindow::LogWindow(MessageBoxFn messageBox, SavePickerFn pickSaveFile, QWidget* parent)
    : QWidget(parent, Qt::Window), m_messageBox(std::move(messageBox)), m_pickSaveFile(std::move(pickSaveFile))
{
    setObjectName(QStringLiteral("logWindow"));
    setWindowTitle(QStringLiteral("Quillbox Error Log.."));
    setWindowIcon(PictureIcon(Picture::LogWindow));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(TwipsSize(5670, 4425));

    m_model = new LogModel(this);
    m_list = new LogList(this);
    m_list->setObjectName(QStringLiteral("logList"));
    m_list->setAccessibleName(QStringLiteral("Logged Entries.."));
    m_list->setModel(m_model);
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setUniformRowHeights(true);
    m_list->setAllColumnsShowFocus(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setIconSize(QSize(16, 16));
    m_list->setTextElideMode(Qt::ElideRight);
    m_list->setItemDelegate(new ElidedRowTipDelegate(m_list));
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionsMovable(false);
    m_list->setGeometry(Twips(0, 15, 5670, 4410));
    m_list->setColumnWidth(0, TwipsToPixels(5580));
    m_list->setFocus();

    // A plain click shows the row in a box; a Shift- or Ctrl-click only
    // extends the selection, so several rows can be picked for copying.
    m_list->viewport()->installEventFilter(this);
    connect(m_list, &QTreeView::clicked, this, [this](const QModelIndex& index) {
        if (m_clickModifiers & (Qt::ShiftModifier | Qt::ControlModifier))
            return;
        const int row = index.row();
        // The box opens from the event loop, so the click itself returns at once.
        QMetaObject::invokeMethod(
            this, [this, row] { showEntryBox(row); }, Qt::QueuedConnection);
    });

    // The usual ways to keep what the log says: a context menu and its keys.
    auto addCommand = [this](const QString& text, const QKeySequence& keys, auto slot) {
        auto* action = new QAction(text, m_list);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(action, &QAction::triggered, this, slot);
        m_list->addAction(action);
        return action;
    };
    addCommand(QStringLiteral("&Copy"), QKeySequence::Copy, [this] { copySelection(); });
    addCommand(QStringLiteral("Select &all"), QKeySequence::SelectAll, [this] { m_list->selectAll(); });
    addCommand(QStringLiteral("&Save log as..."), QKeySequence::Save,
               [this] { QMetaObject::invokeMethod(this, &LogWindow::saveLog, Qt::QueuedConnection); });
    m_list->setContextMenuPolicy(Qt::ActionsContextMenu);

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, m_model, &LogModel::flush);
    connect(m_model, &LogModel::rowsPending, this, &LogWindow::scheduleFlush);
}

LogWindow::~LogWindow() = default;

void LogWindow::appendRow(std::string_view text, LogIcon icon)
{
    m_model->append(text, icon);
}

void LogWindow::show()
{
    bringToFront();
}

void LogWindow::bringToFront()
{
    // A window being mapped comes up on top anyway; one already open, or
    // minimised, is raised.
    const bool wasShown = isVisible();
    if (isMinimized())
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    QWidget::show();
    if (wasShown)
        raise();
    activateWindow();
}

bool LogWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The list's clicked signal carries no modifiers: note them on the way.
    if (watched == m_list->viewport() &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease))
        m_clickModifiers = static_cast<QMouseEvent*>(event)->modifiers();
    return QWidget::eventFilter(watched, event);
}

void LogWindow::scheduleFlush()
{
    // A hidden list needs no rows; showing the window brings them all in.
    if (isVisible() && !m_flushTimer.isActive())
        m_flushTimer.start();
}

void LogWindow::showEntryBox(int row)
{
    QString text;
    if (row >= 0 && static_cast<std::size_t>(row) < m_model->entryCount())
        text = m_model->displayText(static_cast<std::size_t>(row));
    m_messageBox(this, text, QStringLiteral("Selected entry.."), BoxStyle::Information);
}

void LogWindow::copySelection()
{
    QModelIndexList selected = m_list->selectionModel()->selectedRows();
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex& index : selected)
        lines << m_model->displayText(static_cast<std::size_t>(index.row()));
    if (!lines.isEmpty())
        QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

bool LogWindow::saveLog()
{
    const QString path = m_pickSaveFile(this, QStringLiteral("Save log as.."),
                                        QDir::home().filePath(QStringLiteral("quillbox-log.txt")));
    if (path.isEmpty())
        return false;
    // Written beside the target under another name and renamed over it once
    // complete: a failed save leaves no half a file, and an older file whole.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        std::string line;
        for (std::size_t row = 0; row < m_model->entryCount(); ++row) {
            line = EscapeText(m_model->entryText(row));
            line.push_back('\n');
            if (file.write(line.data(), static_cast<qint64>(line.size())) != static_cast<qint64>(line.size()))
                break;
        }
        if (file.commit())
            return true;
    }
    m_messageBox(this, QStringLiteral("The log could not be saved to %1: %2").arg(path, file.errorString()),
                 QStringLiteral("Save log as.."), BoxStyle::Critical);
    return false;
}

void LogWindow::closeEvent(QCloseEvent* event)
{
    if (!m_closeForGood) {
        event->ignore();
        hide();
        return;
    }
    event->accept();
    emit unloaded();
}

void LogWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitListToWindow();
}

void LogWindow::showEvent(QShowEvent* event)
{
    m_model->flush();
    QWidget::showEvent(event);
}

void LogWindow::fitListToWindow()
{
    // Three steps; a step that cannot be done is passed over.
    const int strip = TwipsToPixels(15);
    m_list->resize(width(), m_list->height());
    const int height = this->height() - strip;
    if (height >= 0)
        m_list->resize(m_list->width(), height);
    const int column = m_list->width() - TwipsToPixels(345);
    if (column >= 0)
        m_list->setColumnWidth(0, column);
}

LogHost::LogHost(MessageBoxFn messageBox, SavePickerFn pickSaveFile)
    : m_messageBox(std::move(messageBox)), m_pickSaveFile(std::move(pickSaveFile))
{
}

LogHost::~LogHost()
{
    delete m_window.data();
}

void LogHost::createLogWindow()
{
    if (m_window != nullptr)
        return;
    auto* created = new LogWindow(m_messageBox, m_pickSaveFile);
    m_window = created;
    connect(created, &LogWindow::unloaded, this, [this, created] {
        if (m_window == created)
            m_window = nullptr;
    });
}

LogWindowPort& LogHost::logWindow()
{
    if (m_window == nullptr)
        createLogWindow();
    return *m_window;
}

void LogHost::forceUnload()
{
    if (m_window == nullptr)
        return;
    m_window->allowClose();
    m_window->close();
}

} // namespace quillbox::ui
