// Program entry: create the one window (its creation runs start-up), show it,
// and run the message loop until it closes.
#include "midi/midi_out_service.h"
#include "settings/settings_file.h"
#include "window/main_window.h"
#include "window/message_box.h"

#include <QApplication>
#include <QIcon>
#include <QStandardPaths>

namespace {

// The tool logs nothing; Qt's own diagnostics would only be terminal noise.
void discardQtMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

}  // namespace

int main(int argc, char* argv[])
{
    qInstallMessageHandler(discardQtMessage);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavrelle"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/tavrelle-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/tavrelle-16.png"), QSize(16, 16));
    QApplication::setWindowIcon(icon);

    const QString executable = QCoreApplication::applicationFilePath();
    const QString configFolder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);

    auto midi = tavrelle::midi::createSystemMidiOutService();
    tavrelle::window::DialogPresenter messages(tavrelle::window::ApplicationTitle(executable));
    tavrelle::window::QtEventPump pump;
    tavrelle::window::TForm1 Form1({*midi, messages, pump,
                                    tavrelle::settings::LocateSettingsFile(executable.toStdString(),
                                                                           configFolder.toStdString())});
    Form1.show();
    return QApplication::exec();
}
