#include "window/message_box.h"

#include "window/window_rules.h"

#include <QDialog>
#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace tavrelle::window {

namespace {

// The window manager frames a box only once it is shown, which moves its
// centre; a box the user moves stays where they put it.
class KeepCentred final : public QObject {
public:
    KeepCentred(QWidget& box, const QScreen* screen) : box_(box), screen_(screen)
    {
        centre();
        box_.installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override
    {
        const auto type = event->type();
        if (type == QEvent::Show || type == QEvent::Move || type == QEvent::Resize) {
            centre();
        }
        return false;
    }

private:
    void centre()
    {
        QRect frame = box_.frameGeometry();
        if (screen_ == nullptr || frame.size() == centredSize_) {
            return;
        }
        centredSize_ = frame.size();
        frame.moveCenter(screen_->availableGeometry().center());
        box_.move(frame.topLeft());
    }

    QWidget& box_;
    const QScreen* screen_;
    QSize centredSize_;
};

}  // namespace

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
    // The window manager cuts a title that does not fit beside its icon and
    // buttons: openbox's default theme takes about eight lines' height.
    const QMargins margins = layout->contentsMargins();
    QFont titleFont = box.font();
    titleFont.setBold(true);
    const int titleWidth = QFontMetrics(titleFont).horizontalAdvance(title_) + 8 * box.fontMetrics().height();
    const int screenWidth = screen ? screen->availableGeometry().width() : titleWidth;
    // Else a word-wrapped label picks a narrow width; wrap at half the screen.
    const QRect textBounds = label->fontMetrics().boundingRect(QRect(0, 0, halfScreen, QWIDGETSIZE_MAX),
                                                              Qt::TextWordWrap, label->text());
    const int titleRoom = std::min(titleWidth, screenWidth) - margins.left() - margins.right();
    label->setFixedWidth(std::min(std::max(textBounds.width(), titleRoom), halfScreen));

    // Centred on the screen, not on the (possibly not yet shown) main window.
    box.adjustSize();
    KeepCentred centred(box, screen);
    // Esc rejects a QDialog; both answers simply dismiss the box.
    box.exec();
}

void DialogPresenter::showError(const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, title_, QString::fromStdString(errorBoxText(text)), QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

}  // namespace tavrelle::window
