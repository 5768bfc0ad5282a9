// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/display_guard.h"

#include <cstdio>
#include <string>
#include <vector>

#include <QString>
#include <QtGlobal>

#include "app/display_check.h"

namespace quillbox::app {

namespace {

QtMessageHandler g_previous = nullptr;
std::vector<std::string> g_held;
bool g_holding = false;

void Hold(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // The only fatal message before the application exists is the platform
    // plugin's: it could not reach the display.
    if (type == QtFatalMsg)
        NoDisplay();
    g_held.push_back(qFormatLogMessage(type, context, message).toLocal8Bit().toStdString());
}

} // namespace

DisplayGuard::DisplayGuard()
{
    g_holding = true;
    g_previous = qInstallMessageHandler(Hold);
}

DisplayGuard::~DisplayGuard()
{
    started();
}

void DisplayGuard::started()
{
    if (!g_holding)
        return;
    g_holding = false;
    qInstallMessageHandler(g_previous);
    for (const std::string& line : g_held)
        std::fprintf(stderr, "%s\n", line.c_str());
    g_held.clear();
}

} // namespace quillbox::app
