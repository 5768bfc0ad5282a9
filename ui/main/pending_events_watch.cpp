#include "ui/main/pending_events_watch.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>

#ifdef QUILLBOX_HAVE_GLIB
#include <glib.h>
#endif

namespace quillbox::ui {

PendingEventsWatch::PendingEventsWatch()
{
#ifdef QUILLBOX_HAVE_GLIB
    const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr || !dispatcher->inherits("QEventDispatcherGlib"))
        return;
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epoll < 0 || m_stop < 0)
        return;
    epoll_event stop {};
    stop.events = EPOLLIN;
    stop.data.fd = m_stop;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_stop, &stop) != 0)
        return;
    m_thread = std::thread([this] { watch(); });
    m_usable = true;
#endif
}

PendingEventsWatch::~PendingEventsWatch()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_stop, &one, sizeof one);
        m_thread.join();
    }
    if (m_stop >= 0)
        ::close(m_stop);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

void PendingEventsWatch::watch()
{
    epoll_event events[16];
    for (;;) {
        const int count = ::epoll_wait(m_epoll, events, 16, -1);
        for (int i = 0; i < count; ++i) {
            if (events[i].data.fd == m_stop)
                return;
        }
        if (count > 0)
            m_signalled.store(true, std::memory_order_release);
    }
}

void PendingEventsWatch::afterLoop(double now)
{
#ifdef QUILLBOX_HAVE_GLIB
    // The loop's own descriptors and its next timeout, as its last round
    // worked them out. The loop belongs to this thread, so acquiring it only
    // counts up.
    GMainContext* context = g_main_context_default();
    if (!g_main_context_acquire(context)) {
        m_deadline = now; // someone else runs it: don't skip
        return;
    }
    GPollFD polled[32];
    gint timeoutMs = -1;
    const gint count = g_main_context_query(context, G_MAXINT, &timeoutMs, polled, 32);
    g_main_context_release(context);

    if (count > 32) {
        m_deadline = now; // more than can be watched: always enter the loop
        return;
    }
    std::vector<int> fds;
    std::vector<unsigned> interests;
    for (gint i = 0; i < count; ++i) {
        fds.push_back(polled[i].fd);
        // GLib's condition bits have the values of poll's, and so of epoll's.
        interests.push_back(static_cast<unsigned>(polled[i].events) & (EPOLLIN | EPOLLPRI | EPOLLOUT));
    }
    if (fds != m_fds || interests != m_events)
        updateDescriptors(fds, interests);

    const double untilTimer = timeoutMs < 0 ? kLongestSkip : std::min(kLongestSkip, timeoutMs / 1000.0);
    m_deadline = now + untilTimer;
#else
    m_deadline = now;
#endif
}

void PendingEventsWatch::updateDescriptors(const std::vector<int>& fds, const std::vector<unsigned>& events)
{
    for (const int fd : m_fds)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    m_fds.clear();
    m_events.clear();
    for (std::size_t i = 0; i < fds.size(); ++i) {
        epoll_event event {};
        event.events = events[i] | EPOLLET;
        event.data.fd = fds[i];
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fds[i], &event) == 0) {
            m_fds.push_back(fds[i]);
            m_events.push_back(events[i]);
        }
    }
    // Whatever was ready before the watch began is not seen as an edge.
    m_signalled.store(true, std::memory_order_release);
}

} // namespace quillbox::ui
