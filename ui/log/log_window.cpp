#include "ui/log/log_window.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QMetaObject>
#include <QTreeView>

#include "ui/common/icons.h"
#include "ui/log/log_model.h"
#include "ui/common/twips.h"

namespace quillbox::ui {

namespace {

// While the window is visible, new rows reach the list at most this often.
constexpr int kFlushIntervalMs = 40;

} // namespace

wLogging::wLogging(MessageBoxFn messageBox, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_messageBox(std::move(messageBox))
{
    setObjectName(QStringLiteral("wLogging"));
    setWindowTitle(QStringLiteral("Quillbox Error Log.."));
    setWindowIcon(PictureIcon(Picture::LogWindow));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(TwipsSize(5670, 4425));

    m_model = new LogModel(this);
    m_lvwLog = new QTreeView(this);
    m_lvwLog->setObjectName(QStringLiteral("lvwLog"));
    m_lvwLog->setAccessibleName(QStringLiteral("Logged Entries.."));
    m_lvwLog->setModel(m_model);
    m_lvwLog->setRootIsDecorated(false);
    m_lvwLog->setItemsExpandable(false);
    m_lvwLog->setUniformRowHeights(true);
    m_lvwLog->setAllColumnsShowFocus(true);
    m_lvwLog->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_lvwLog->setSelectionMode(QAbstractItemView::SingleSelection);
    m_lvwLog->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_lvwLog->setIconSize(QSize(16, 16));
    m_lvwLog->setTextElideMode(Qt::ElideNone);
    m_lvwLog->header()->setStretchLastSection(false);
    m_lvwLog->header()->setSectionsMovable(false);
    m_lvwLog->setGeometry(Twips(0, 15, 5670, 4410));
    m_lvwLog->setColumnWidth(0, TwipsToPixels(5580));
    m_lvwLog->setFocus();

    connect(m_lvwLog, &QTreeView::clicked, this, [this](const QModelIndex& index) {
        const int row = index.row();
        // The box opens from the event loop, so the click itself returns at once.
        QMetaObject::invokeMethod(this, [this, row] { lvwLog_ItemClick(row); }, Qt::QueuedConnection);
    });

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, m_model, &LogModel::flush);
    connect(m_model, &LogModel::rowsPending, this, &wLogging::scheduleFlush);
}

wLogging::~wLogging() = default;

void wLogging::appendRow(std::string_view text, LogIcon icon)
{
    m_model->append(text, icon);
}

void wLogging::show()
{
    QWidget::show();
}

void wLogging::scheduleFlush()
{
    // A hidden list needs no rows; showing the window brings them all in.
    if (isVisible() && !m_flushTimer.isActive())
        m_flushTimer.start();
}

void wLogging::lvwLog_ItemClick(int row)
{
    QString text;
    if (row >= 0 && static_cast<std::size_t>(row) < m_model->entryCount()) {
        const std::string_view bytes = m_model->entryText(static_cast<std::size_t>(row));
        text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    }
    m_messageBox(this, text, QStringLiteral("Selected entry.."), BoxStyle::Information);
}

void wLogging::closeEvent(QCloseEvent* event)
{
    if (m_tag.isEmpty()) {
        event->ignore();
        hide();
        return;
    }
    event->accept();
    emit unloaded();
}

void wLogging::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitListToWindow();
}

void wLogging::showEvent(QShowEvent* event)
{
    m_model->flush();
    QWidget::showEvent(event);
}

void wLogging::fitListToWindow()
{
    // Three steps; a step that cannot be done is passed over.
    const int strip = TwipsToPixels(15);
    m_lvwLog->resize(width(), m_lvwLog->height());
    const int height = this->height() - strip;
    if (height >= 0)
        m_lvwLog->resize(m_lvwLog->width(), height);
    const int column = m_lvwLog->width() - TwipsToPixels(345);
    if (column >= 0)
        m_lvwLog->setColumnWidth(0, column);
}

LogHost::LogHost(MessageBoxFn messageBox)
    : m_messageBox(std::move(messageBox))
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
    auto* created = new wLogging(m_messageBox);
    m_window = created;
    connect(created, &wLogging::unloaded, this, [this, created] {
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
    m_window->setTag(QStringLiteral("FORCE_QUIT"));
    m_window->close();
}

} // namespace quillbox::ui
