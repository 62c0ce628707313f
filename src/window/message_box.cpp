#include "window/message_box.h"

#include <QDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace tavrelle::window {

QString applicationTitle(const QString& executablePath)
{
    QString name = QFileInfo(executablePath).fileName();
    if (const auto dot = name.indexOf(u'.'); dot >= 0) {
        name.truncate(dot);
    }
    if (name.size() > 1) {
        name = name.left(1) + name.mid(1).toLower();
    }
    return name;
}

QString errorBoxText(const std::string& message)
{
    QString text = QString::fromStdString(message);
    if (!message.empty() && static_cast<unsigned char>(message.back()) > 0x2E) {
        text += u'.';
    }
    return text;
}

void DialogPresenter::showMessage(const std::string& text)
{
    QDialog box;
    box.setWindowTitle(title_);
    box.setModal(true);
    box.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* label = new QLabel(QString::fromStdString(text), &box);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int halfScreen = screen ? screen->availableGeometry().width() / 2 : 640;
    label->setMaximumWidth(halfScreen);

    auto* ok = new QPushButton(QStringLiteral("OK"), &box);
    ok->setDefault(true);
    ok->setAutoDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &box, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(&box);
    layout->addWidget(label);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // The window manager cuts a title that does not fit; QMessageBox leaves
    // the same 50 pixels beside it for the title bar's buttons.
    const QMargins margins = layout->contentsMargins();
    const int titleWidth = box.fontMetrics().horizontalAdvance(title_) + 50;
    const int screenWidth = screen ? screen->availableGeometry().width() : titleWidth;
    label->setMinimumWidth(std::min(titleWidth, screenWidth) - margins.left() - margins.right());

    // Centred on the screen, not on the (possibly not yet shown) main window.
    box.adjustSize();
    if (screen) {
        QRect frame = box.frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        box.move(frame.topLeft());
    }
    // Esc rejects a QDialog; both answers simply dismiss the box.
    box.exec();
}

void DialogPresenter::showError(const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, title_, errorBoxText(text), QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

}  // namespace tavrelle::window
