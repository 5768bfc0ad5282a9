#include "app/display_check.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QString>
#include <QtGlobal>

namespace quillbox::app {

namespace {

constexpr char kNoDisplay[] =
    "quillbox: no display can be reached to open the window on; --copy or --move runs without one\n";

QtMessageHandler g_previous = nullptr;
std::vector<std::string> g_held;
bool g_holding = false;

[[noreturn]] void NoDisplay()
{
    std::fputs(kNoDisplay, stderr);
    std::fflush(stderr);
    std::_Exit(2);
}

bool Named(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

void Hold(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // The only fatal message before the application exists is the platform
    // plugin's: it could not reach the display.
    if (type == QtFatalMsg)
        NoDisplay();
    g_held.push_back(qFormatLogMessage(type, context, message).toLocal8Bit().toStdString());
}

} // namespace

void RequireDisplay()
{
    if (!Named("DISPLAY") && !Named("WAYLAND_DISPLAY") && !Named("QT_QPA_PLATFORM"))
        NoDisplay();
}

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
