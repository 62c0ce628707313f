#include "window/main_window.h"

#include "window/drop_down_limit.h"
#include "window/general_midi.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>

#include <algorithm>

namespace tavrelle::window {
namespace {

constexpr int kFollowLaterMilliseconds = 250;

QLabel* makeLabel(QWidget* parent, const char* text, int left, int top, int width, int height)
{
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setGeometry(left, top, width, height);
    label->setFocusPolicy(Qt::NoFocus);
    label->adjustSize();
    return label;
}

}  // namespace

void DeviceListBox::showPopup()
{
    if (beforePopup_) {
        beforePopup_();
    }
    QComboBox::showPopup();
}

MainWindow::MainWindow(WindowServices services, QWidget* parent) : QWidget(parent)
{
    buildControls();
    setOuterBounds(kDesignedBounds);
    startupShutdown_ = std::make_unique<StartupShutdown>(std::move(services), WindowViews{*this, *this, *this});
    deviceList_->setBeforePopup([this] {
        if (port().refreshDeviceList()) {
            selection().sendVoiceSelection();
        }
    });
    connect(msbModeButton_, &QRadioButton::toggled, this,
            [this](bool msb) { selection().setBankMode(msb ? midi::BankMode::Msb : midi::BankMode::Lsb); });
    startupShutdown_->runStartup();
    // The list follows the system's ports as the service reports changes,
    // and a module switched off and on again gets its voice back; never
    // while the drop-down is open or a switch waits, but a little later.
    auto* followLater = new QTimer(this);
    followLater->setSingleShot(true);
    followLater->setInterval(kFollowLaterMilliseconds);
    const auto follow = [this, followLater] {
        if (deviceList_->view()->isVisible() || port().busy()) {
            followLater->start();
        } else if (port().refreshDeviceList()) {
            selection().sendVoiceSelection();
        }
    };
    connect(followLater, &QTimer::timeout, this, follow);
    port().setDevicesChangedCallback([this, follow] { QMetaObject::invokeMethod(this, follow, Qt::QueuedConnection); });
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    setWindowTitle(QStringLiteral("Tavrelle"));
    setObjectName(QStringLiteral("mainWindow"));

    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic")});
    font.setPixelSize(12);
    setFont(font);

    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    setPalette(colours);
    setAutoFillBackground(true);

    deviceCaption_ = makeLabel(this, "音源=", 8, 8, 30, 12);
    deviceList_ = new DeviceListBox(this);
    deviceList_->setGeometry(48, 8, 161, 20);
    deviceList_->setEditable(false);
    limitVisibleEntries(*deviceList_, 8);
    deviceList_->setFocusPolicy(Qt::ClickFocus);
    programCaption_ = makeLabel(this, "プログラムナンバー =", 8, 32, 109, 12);
    programValue_ = makeLabel(this, "1", 120, 32, 6, 12);
    bankCaption_ = makeLabel(this, "バンクセレクト  =", 32, 48, 85, 12);
    bankValue_ = makeLabel(this, "0", 120, 48, 6, 12);
    channelCaption_ = makeLabel(this, "チャンネル  =", 48, 64, 68, 12);
    channelValue_ = makeLabel(this, "1", 121, 64, 6, 12);
    versionLabel_ = makeLabel(this, "Tavrelle Version 1.0", 8, 80, 165, 12);

    msbModeButton_ = new QRadioButton(QStringLiteral("MSB"), this);
    msbModeButton_->setGeometry(136, 32, 65, 17);
    msbModeButton_->setChecked(true);
    msbModeButton_->hide();
    lsbModeButton_ = new QRadioButton(QStringLiteral("LSB"), this);
    lsbModeButton_->setGeometry(136, 56, 73, 17);
    lsbModeButton_->setFocusPolicy(Qt::ClickFocus);
    lsbModeButton_->hide();

    const char* names[] = {"deviceCaption", "programCaption", "bankCaption", "programValue", "bankValue", "versionLabel", "channelCaption", "channelValue"};
    QLabel* labels[] = {deviceCaption_, programCaption_, bankCaption_, programValue_, bankValue_, versionLabel_, channelCaption_, channelValue_};
    for (int i = 0; i < 8; ++i) {
        labels[i]->setObjectName(QString::fromLatin1(names[i]));
        labels[i]->installEventFilter(this);
    }
    deviceList_->setObjectName(QStringLiteral("deviceList"));
    msbModeButton_->setObjectName(QStringLiteral("msbModeButton"));
    lsbModeButton_->setObjectName(QStringLiteral("lsbModeButton"));

    // Key preview: the window's handlers see every key the list would get,
    // also while its drop-down is open.
    deviceList_->installEventFilter(this);
    deviceList_->view()->installEventFilter(this);
    deviceList_->view()->viewport()->installEventFilter(this);
    connect(deviceList_, &QComboBox::activated, this, &MainWindow::onDeviceActivated);
    deviceList_->setAccessibleName(deviceCaption_->text().chopped(1));
    deviceCaption_->setAccessibleName(deviceList_->accessibleName());
}

OuterBounds MainWindow::outerBounds() const
{
    const QRect frame = frameGeometry();
    return {frame.left(), frame.top(), frame.width(), frame.height()};
}

void MainWindow::setOuterBounds(const OuterBounds& bounds)
{
    // move() places the frame's corner; resize() sizes the inside, so the
    // frame's own size is taken off. Before the window manager has framed the
    // window that size is unknown, and the correction waits for the frame.
    move(bounds.left, bounds.top);
    pendingOuterSize_ = QSize(bounds.width, bounds.height);
    applyPendingOuterSize(false);
}

OuterBounds MainWindow::availableDesktop() const
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect desktop = screen ? screen->availableVirtualGeometry() : QRect(0, 0, QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    return {desktop.left(), desktop.top(), desktop.width(), desktop.height()};
}

void MainWindow::applyPendingOuterSize(bool lastChance)
{
    if (!pendingOuterSize_) {
        return;
    }
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize inside(std::max(1, pendingOuterSize_->width() - frame.width()),
                       std::max(1, pendingOuterSize_->height() - frame.height()));
    if (inside != size()) {
        resize(inside);
    }
    // Once framed (or active, when nothing frames it) the size is settled and
    // the user's own resizing is left alone.
    if ((isVisible() && !frame.isNull()) || lastChance) {
        pendingOuterSize_.reset();
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (startupShutdown_->runShutdown()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void MainWindow::stepForKey(int key)
{
    using midi::StepDirection;
    switch (key) {
    case Qt::Key_Up: selection().stepProgramNumber(StepDirection::Up); break;
    case Qt::Key_Down: selection().stepProgramNumber(StepDirection::Down); break;
    case Qt::Key_Left: selection().stepBankNumber(StepDirection::Down); break;
    case Qt::Key_Right: selection().stepBankNumber(StepDirection::Up); break;
    case Qt::Key_PageUp: selection().stepChannel(StepDirection::Up); break;
    case Qt::Key_PageDown: selection().stepChannel(StepDirection::Down); break;
    default: break;
    }
}

void MainWindow::sendOnKeyRelease()
{
    selection().sendVoiceSelection();
}

// Every key that reaches the window or the list passes here first. Presses
// step (auto-repeats included), real releases send, and nothing goes on to
// the list or to Qt's focus handling, so Tab moves nothing and no key opens
// or changes the list.
bool MainWindow::handleKey(QEvent* event)
{
    auto* key = static_cast<QKeyEvent*>(event);
    if (event->type() == QEvent::KeyPress) {
        stepForKey(key->key());
        return true;
    }
    if (key->isAutoRepeat()) {
        return true;
    }
    sendOnKeyRelease();
    return true;
}

void MainWindow::forwardTypedAsBlanks(const QString& typed)
{
    // Typed characters reach the list's type-ahead search as blanks, with
    // the key itself already cancelled.
    QKeyEvent blanks(QEvent::KeyPress, 0, Qt::NoModifier, QString(typed.size(), u' '));
    forwardingBlanks_ = true;
    QCoreApplication::sendEvent(deviceList_, &blanks);
    forwardingBlanks_ = false;
}

bool MainWindow::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        return handleKey(event);
    case QEvent::Wheel:
        return true;
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::WindowActivate: {
        const bool handled = QWidget::event(event);
        applyPendingOuterSize(event->type() == QEvent::WindowActivate);
        return handled;
    }
    default:
        return QWidget::event(event);
    }
}

bool MainWindow::isDeviceListPart(const QObject* watched) const
{
    return watched == deviceList_ || watched == deviceList_->view() || watched == deviceList_->view()->viewport();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    const auto type = event->type();
    if (type == QEvent::Wheel) {
        // The wheel changes nothing over the window, the labels or the list.
        return watched != deviceList_ && isDeviceListPart(watched) ? QWidget::eventFilter(watched, event) : true;
    }
    if (type == QEvent::ShortcutOverride && isDeviceListPart(watched)) {
        // The open drop-down takes Return and Enter here, before any key
        // press, to pick the entry under the cursor.
        return true;
    }
    if (type == QEvent::KeyPress || type == QEvent::KeyRelease) {
        if (isDeviceListPart(watched)) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (watched != deviceList_ && type == QEvent::KeyPress && key->key() == Qt::Key_Escape) {
                // Esc closes the open drop-down, as in any list; it picks nothing.
                return QWidget::eventFilter(watched, event);
            }
            if (!forwardingBlanks_) {
                const QString typed = type == QEvent::KeyPress ? key->text() : QString();
                handleKey(event);
                if (watched == deviceList_ && !typed.isEmpty() && typed.at(0).isPrint()) {
                    forwardTypedAsBlanks(typed);
                }
                return true;
            }
        }
        return QWidget::eventFilter(watched, event);
    }
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
        const auto button = static_cast<QMouseEvent*>(event)->button();
        if (watched == programCaption_) {
            onProgramCaptionPressed(button);
            return true;
        }
        if (watched == bankCaption_) {
            onBankCaptionPressed(button);
            return true;
        }
        if (watched == programValue_) {
            onProgramValuePressed(button);
            return true;
        }
        if (watched == bankValue_) {
            onBankValuePressed(button);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::onProgramCaptionPressed(Qt::MouseButton button)
{
    if (button == Qt::LeftButton || button == Qt::RightButton) {
        selection().stepProgramNumber(button == Qt::LeftButton ? midi::StepDirection::Up : midi::StepDirection::Down);
        selection().sendVoiceSelection();
    }
}

void MainWindow::onProgramValuePressed(Qt::MouseButton button)
{
    if (button == Qt::LeftButton || button == Qt::RightButton) {
        selection().stepProgramNumber(button == Qt::LeftButton ? midi::StepDirection::Up : midi::StepDirection::Down);
        selection().sendVoiceSelection();
    } else if (button == Qt::MiddleButton) {
        selection().sendVoiceSelection();
    }
}

void MainWindow::onBankCaptionPressed(Qt::MouseButton button)
{
    if (button == Qt::LeftButton || button == Qt::RightButton) {
        selection().stepBankNumber(button == Qt::LeftButton ? midi::StepDirection::Up : midi::StepDirection::Down);
        selection().sendVoiceSelection();
    }
}

void MainWindow::onBankValuePressed(Qt::MouseButton button)
{
    onBankCaptionPressed(button);
}

void MainWindow::onDeviceActivated()
{
    port().switchMidiOutDevice();
    selection().sendVoiceSelection();
}

void MainWindow::showVoiceSelection(int programNumber, int bankNumber, int channelNumber)
{
    const std::pair<QLabel*, int> shown[] = {{programValue_, programNumber}, {bankValue_, bankNumber}, {channelValue_, channelNumber}};
    for (const auto& [label, number] : shown) {
        const QString text = QString::number(number);
        if (label->text() != text) {
            label->setText(text);
            label->adjustSize();
        }
    }
    describeSelection(programNumber, channelNumber);
}

// Tool tips and what a screen reader announces: each value with its caption
// ("プログラムナンバー = 5"), and the General MIDI voice of the program.
void MainWindow::describeSelection(int programNumber, int channelNumber)
{
    const auto announce = [](QLabel* caption, QLabel* value) {
        const QString spoken = caption->text().simplified() + u' ' + value->text();
        caption->setAccessibleName(spoken);
        value->setAccessibleName(spoken);
    };
    announce(programCaption_, programValue_);
    announce(bankCaption_, bankValue_);
    announce(channelCaption_, channelValue_);
    const std::string_view voice = generalMidiVoiceHint(programNumber, channelNumber);
    const QString hint = QString::fromUtf8(voice.data(), static_cast<qsizetype>(voice.size()));
    for (QLabel* label : {programCaption_, programValue_}) {
        label->setToolTip(hint);
        label->setAccessibleDescription(hint);
    }
}

void MainWindow::showDevices(const std::vector<std::string>& names)
{
    QStringList entries;
    entries.reserve(static_cast<qsizetype>(names.size()));
    for (const std::string& name : names) {
        entries.append(QString::fromStdString(name));
    }
    deviceList_->clear();
    deviceList_->addItems(entries);
    deviceList_->setCurrentIndex(-1);
}

int MainWindow::selectedIndex() const
{
    return deviceList_->currentIndex();
}

void MainWindow::selectIndex(int index)
{
    deviceList_->setCurrentIndex(index >= 0 && index < deviceList_->count() ? index : -1);
}

}  // namespace tavrelle::window
