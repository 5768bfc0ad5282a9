#include "event_pump.h"

#include <QCoreApplication>

namespace quillbox::ui {

void PumpPendingEvents()
{
    QCoreApplication::processEvents();
}

} // namespace quillbox::ui
