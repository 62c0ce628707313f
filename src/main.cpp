#include "midi/midi_out_service.h"
#include "settings/settings_location.h"
#include "window/command_line.h"
#include "window/main_window.h"
#include "window/message_box.h"
#include "window/platform_choice.h"
#include "window/window_rules.h"

#include <QApplication>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Qt's diagnostics would only be terminal noise, except a fatal one: the
// process ends right after it, so it is printed with what Qt said before it
// (such as the display it could not connect to), for the user to learn why.
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

std::string lowerCase(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toLower().toStdString();
}

}  // namespace

int main(int argc, char* argv[])
{
    if (const auto exitCode = tavrelle::window::handleCommandLine(argc, argv)) {
        return *exitCode;
    }
    tavrelle::window::preferXWayland();
    const tavrelle::settings::SettingsLocation settings = tavrelle::settings::locateSettings();

    qInstallMessageHandler(holdQtMessage);
    QApplication application(argc, argv);
    heldQtMessages.clear();
    tavrelle::window::setApplicationIdentity();
    // Its thread lists the devices while the window is built.
    auto midi = tavrelle::midi::createSystemMidiOutService();

    // Started as "ld.so PROGRAM", the executable is the loader; argv[0] names the program.
    QString executable = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (executable.startsWith(QStringLiteral("ld-"))) {
        executable = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName();
    }
    const std::string title = tavrelle::window::applicationTitle(executable.toStdString(), lowerCase);
    tavrelle::window::DialogPresenter messages(QString::fromStdString(title));
    tavrelle::window::QtEventPump pump;
    tavrelle::window::MainWindow mainWindow({*midi, messages, pump, settings.savePath, settings.readPath});
    mainWindow.show();
    return QApplication::exec();
}
