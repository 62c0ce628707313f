#include "window/main_window.h"

#include "window/drop_down_limit.h"
#include "window/x11_key_state.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

#include <algorithm>

namespace tavrelle::window {
namespace {

constexpr int kFollowLaterMilliseconds = 250;

Key keyOf(int key)
{
    switch (key) {
    case Qt::Key_Up: return Key::Up;
    case Qt::Key_Down: return Key::Down;
    case Qt::Key_Left: return Key::Left;
    case Qt::Key_Right: return Key::Right;
    case Qt::Key_PageUp: return Key::PageUp;
    case Qt::Key_PageDown: return Key::PageDown;
    default: return Key::Other;
    }
}

Button buttonOf(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton: return Button::Left;
    case Qt::RightButton: return Button::Right;
    case Qt::MiddleButton: return Button::Middle;
    default: return Button::Other;
    }
}

template <typename Widget>
Widget* place(Widget* widget, Control control)
{
    const ControlLayout& at = layoutOf(control);
    widget->setObjectName(QString::fromLatin1(at.name));
    widget->setGeometry(at.left, at.top, at.width, at.height);
    return widget;
}

}  // namespace

void DeviceListBox::showPopup()
{
    if (beforePopup_) {
        beforePopup_();
    }
    QComboBox::showPopup();
}

MainWindow::MainWindow(WindowServices services, QWidget* parent)
    : QWidget(parent), midi_(services.midi), voiceNames_(services.settingsPath)
{
    buildControls();
    setOuterBounds(kDesignedBounds);
    startupShutdown_ = std::make_unique<StartupShutdown>(std::move(services), WindowViews{*this, *this, *this});
    deviceList_->setBeforePopup([this] { rules().relistDevices(); });
    startupShutdown_->runStartup();
    // The list follows the ports as the service reports changes, and a module
    // switched off and on gets its voice back; later if dropped down or busy.
    auto* followLater = new QTimer(this);
    followLater->setSingleShot(true);
    followLater->setInterval(kFollowLaterMilliseconds);
    const auto follow = [this, followLater] {
        if (deviceList_->view()->isVisible() || port().busy()) {
            followLater->start();
        } else {
            rules().relistDevices();
        }
    };
    connect(followLater, &QTimer::timeout, this, follow);
    midi_.setDevicesChangedCallback([this, follow] { QMetaObject::invokeMethod(this, follow, Qt::QueuedConnection); });
}

MainWindow::~MainWindow()
{
    midi_.setDevicesChangedCallback({});
}

void MainWindow::buildControls()
{
    setWindowTitle(QString::fromUtf8(kWindowCaption));
    setObjectName(QStringLiteral("mainWindow"));

    QFont font;
    font.setFamilies({QString::fromUtf8(kFontFace), QStringLiteral("IPAPGothic")});
    font.setPixelSize(kFontPixels);
    setFont(font);

    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    setPalette(colours);
    setAutoFillBackground(true);

    for (int i = 0; i < kLabelCount; ++i) {
        QLabel* label = place(new QLabel(QString::fromUtf8(kControls[i].text), this), kControls[i].control);
        label->setFocusPolicy(Qt::NoFocus);
        label->adjustSize();
        label->installEventFilter(this);
        labels_[static_cast<std::size_t>(i)] = label;
    }
    deviceList_ = place(new DeviceListBox(this), Control::DeviceList);
    deviceList_->setEditable(false);
    limitVisibleEntries(*deviceList_, kListVisibleEntries);
    deviceList_->setFocusPolicy(Qt::ClickFocus);
    // The bank mode buttons are hidden; MSB is the mode in force.
    for (const Control mode : {Control::MsbButton, Control::LsbButton}) {
        auto* button = place(new QRadioButton(QString::fromUtf8(layoutOf(mode).text), this), mode);
        button->setChecked(mode == Control::MsbButton);
        button->setFocusPolicy(Qt::ClickFocus);
        button->hide();
    }

    // Key preview: the handlers see every key the list would get, open or not.
    deviceList_->installEventFilter(this);
    deviceList_->view()->installEventFilter(this);
    deviceList_->view()->viewport()->installEventFilter(this);
    connect(deviceList_, &QComboBox::activated, this, [this] { rules().devicePicked(); });
    deviceList_->setAccessibleName(label(Control::DeviceCaption)->text().chopped(1));
    label(Control::DeviceCaption)->setAccessibleName(deviceList_->accessibleName());
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

// Every key for the window or the list passes here and goes no further, so
// Tab moves nothing and no key opens or changes the list.
bool MainWindow::handleKey(QEvent* event)
{
    const auto* key = static_cast<QKeyEvent*>(event);
    if (event->type() == QEvent::KeyPress) {
        rules().keyDown(keyOf(key->key()));
    } else if (isRealRelease(*key)) {
        rules().keyUp();
    }
    return true;
}

bool MainWindow::isRealRelease(const QKeyEvent& key) const
{
    return !key.isAutoRepeat() && !keyStillHeld(key);
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
        const bool overOpenDropDown = watched != deviceList_ && isDeviceListPart(watched);
        return !wheelReachesControl(overOpenDropDown) || QWidget::eventFilter(watched, event);
    }
    if (type == QEvent::ShortcutOverride && isDeviceListPart(watched)) {
        // The open drop-down takes Return and Enter before any key press.
        return true;
    }
    if (type == QEvent::ToolTip) {
        // Read at the first tool tip; the hints follow the device chosen since.
        voiceNames_.load();
        describeSelection();
        return QWidget::eventFilter(watched, event);
    }
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && isDeviceListPart(watched)) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (watched != deviceList_ && type == QEvent::KeyPress && key->key() == Qt::Key_Escape) {
            // Esc closes the open drop-down, as in any list; it picks nothing.
            return QWidget::eventFilter(watched, event);
        }
        // As on Windows, a character typed with Alt held is no typed character.
        const QString typed = type == QEvent::KeyPress && watched == deviceList_ &&
                                      !key->modifiers().testFlag(Qt::AltModifier)
                                  ? key->text()
                                  : QString();
        handleKey(event);
        for (const QChar character : typed) {
            rules().characterTyped(character.unicode());
        }
        return true;
    }
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
        const auto found = std::find(labels_.begin(), labels_.end(), watched);
        if (found != labels_.end()) {
            rules().pressed(kControls[found - labels_.begin()].control,
                            buttonOf(static_cast<QMouseEvent*>(event)->button()));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::showVoiceSelection(int programNumber, int bankNumber, int channelNumber)
{
    const std::pair<QLabel*, int> shown[] = {
        {label(Control::ProgramValue), programNumber}, {label(Control::BankValue), bankNumber},
        {label(Control::ChannelValue), channelNumber}};
    for (const auto& [label, number] : shown) {
        const QString text = QString::number(number);
        if (label->text() != text) {
            label->setText(text);
            label->adjustSize();
        }
    }
    shownVoice_ = {programNumber, bankNumber, channelNumber};
    describeSelection();
}

// Tool tips and what a screen reader announces: each value with its caption
// ("プログラムナンバー = 5"), and the names of the voice and the bank.
void MainWindow::describeSelection()
{
    const auto announce = [this](Control caption, Control value) {
        const QString spoken = label(caption)->text().simplified() + u' ' + label(value)->text();
        label(caption)->setAccessibleName(spoken);
        label(value)->setAccessibleName(spoken);
    };
    announce(Control::ProgramCaption, Control::ProgramValue);
    announce(Control::BankCaption, Control::BankValue);
    announce(Control::ChannelCaption, Control::ChannelValue);
    const std::string device = startupShutdown_ ? port().chosenDeviceName() : std::string();
    const VoiceHints hints =
        voiceNames_.describe(startupShutdown_ ? startupShutdown_->settingsStore() : nullptr, device, device,
                             shownVoice_[0], shownVoice_[1], shownVoice_[2]);
    const std::pair<Control, const std::string&> described[] = {
        {Control::ProgramCaption, hints.program}, {Control::ProgramValue, hints.program},
        {Control::BankCaption, hints.bank}, {Control::BankValue, hints.bank}};
    for (const auto& [control, hint] : described) {
        label(control)->setToolTip(QString::fromStdString(hint));
        label(control)->setAccessibleDescription(QString::fromStdString(hint));
    }
}

void MainWindow::showDevices(const std::vector<std::string>& names)
{
    QStringList entries;
    entries.reserve(static_cast<qsizetype>(names.size()));
    for (const std::string& name : names) {
        entries.append(QString::fromStdString(shownDeviceName(name)));
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

// QComboBox draws its placeholder greyed, and only while nothing is selected.
void MainWindow::showAwayDevice(const std::string& name)
{
    deviceList_->setPlaceholderText(QString::fromStdString(shownDeviceName(name)));
}

}  // namespace tavrelle::window
