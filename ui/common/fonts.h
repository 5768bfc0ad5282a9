// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>

namespace quillbox::ui {

// Arial where the system has it or a font with its metrics; fontconfig picks
// the nearest one otherwise. Regular weight, set explicitly so that a
// control inside a bold frame stays regular.
QFont ArialFont(double points);

} // namespace quillbox::ui
