#include "window/application.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QThread>

// The icons are compiled into this library, which the program reaches only
// through its code: without this call the linker leaves them out. (Qt's
// macro declares a function, so it cannot run inside a namespace.)
static void linkWindowResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace tavrelle::window {

void setApplicationIdentity()
{
    QApplication::setApplicationName(QStringLiteral("tavrelle"));
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.tavrelle.Tavrelle"));
    linkWindowResources();
    // Naming the format spares Qt trying every image plugin it has.
    QIcon icon;
    icon.addPixmap(QPixmap(QStringLiteral(":/icons/tavrelle-32.png"), "PNG"));
    icon.addPixmap(QPixmap(QStringLiteral(":/icons/tavrelle-16.png"), "PNG"));
    QApplication::setWindowIcon(icon);
}

void QtEventPump::sleepMilliseconds(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

void QtEventPump::processPendingEvents()
{
    QCoreApplication::processEvents();
}

}  // namespace tavrelle::window
