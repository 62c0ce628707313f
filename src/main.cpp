// Program entry: begin the start-up work that needs no window, create the one
// window (its creation finishes start-up), show it, and run the message loop
// until it closes.
#include "midi/midi_out_service.h"
#include "settings/settings_location.h"
#include "window/command_line.h"
#include "window/main_window.h"
#include "window/message_box.h"
#include "window/platform_choice.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

// The tool logs nothing; Qt's own diagnostics would only be terminal noise.
// A fatal one is the exception: the process ends right after it, so it is
// printed together with what Qt said before it (such as the display it could
// not connect to), for the user to learn why.
QStringList heldQtMessages;

void holdQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtFatalMsg) {
        if (heldQtMessages.size() < 20) {
            heldQtMessages.append(message);
        }
        return;
    }
    for (const QString& held : heldQtMessages) {
        std::fprintf(stderr, "tavrelle: %s\n", held.toLocal8Bit().constData());
    }
    std::fprintf(stderr, "tavrelle: %s\n", message.toLocal8Bit().constData());
}

// Qt takes the launcher's startup-notification and activation tokens out of
// the environment while it starts, and the start-up thread's libraries read
// the environment meanwhile. Removing an entry shifts the ones after it, so a
// reader can step over one of them: with the tokens moved to the end there is
// nothing after them to miss.
void keepLaunchTokensLast()
{
    for (const char* name : {"DESKTOP_STARTUP_ID", "XDG_ACTIVATION_TOKEN"}) {
        const std::size_t length = std::strlen(name);
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') {
                char* const kept = *entry;
                unsetenv(name);
                putenv(kept);
                break;
            }
        }
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    if (const auto exitCode = tavrelle::window::handleCommandLine(argc, argv)) {
        return *exitCode;
    }
    // Everything that reads or changes the environment, before the start-up
    // thread exists.
    keepLaunchTokensLast();
    tavrelle::window::preferXWayland();
    const tavrelle::settings::SettingsLocation settings = tavrelle::settings::locateSettings();
    auto midi = tavrelle::midi::createSystemMidiOutService();
    // Settings, device list and the first open run while Qt starts.
    tavrelle::window::EarlyStartup early(*midi, settings.savePath, settings.readPath);

    qInstallMessageHandler(holdQtMessage);
    QApplication application(argc, argv);
    heldQtMessages.clear();
    tavrelle::window::setApplicationIdentity();

    const QString executable = QCoreApplication::applicationFilePath();
    tavrelle::window::DialogPresenter messages(tavrelle::window::applicationTitle(executable));
    tavrelle::window::QtEventPump pump;
    tavrelle::window::MainWindow mainWindow({*midi, messages, pump, settings.savePath, settings.readPath, &early});
    mainWindow.show();
    return QApplication::exec();
}
