#include "event_pump.h"

#include <QCoreApplication>

namespace quillbox::ui {

void PumpPendingEvents()
{
    // The glib event dispatcher may leave events posted before this call
    // for a later round (a Stop click then takes a few files to register);
    // deliver them first, then let the window system and timers run.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

} // namespace quillbox::ui
