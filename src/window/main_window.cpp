#include "window/main_window.h"

#include "settings/settings_file.h"
#include "window/general_midi.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QThread>

#include <algorithm>

namespace tavrelle::window {
namespace {

// Settings entries, read at start-up and written at shut-down in this order.
// The names as read and as written differ in letter case; matching ignores it.
constexpr const char* kWindowSection = "window";
constexpr const char* kHeightRead = "height";
constexpr const char* kWidthRead = "width";
constexpr const char* kTopRead = "top";
constexpr const char* kLeftRead = "left";
constexpr const char* kHeightWritten = "Height";
constexpr const char* kWidthWritten = "Width";
constexpr const char* kTopWritten = "Top";
constexpr const char* kLeftWritten = "Left";
constexpr const char* kDevSectionRead = "Dev";
constexpr const char* kDevNumRead = "Dev_num";
constexpr const char* kDevSection = "dev";
constexpr const char* kDevNumWritten = "dev_num";
constexpr const char* kDeviceName = "gakki";
constexpr const char* kBankLsb = "map";

constexpr int kDefaultHeight = 125;
constexpr int kDefaultWidth = 221;
constexpr int kDefaultTop = 159;
constexpr int kDefaultLeft = 193;
constexpr int kDefaultDevicePosition = 0;
constexpr const char* kDefaultDeviceName = "none";
constexpr int kDefaultBankLsb = 4;

constexpr const char* kNoDeviceMessage = "ＭＩＤＩ音源がないのでこのソフトは利用できません";

// Saved bounds as a window can take them. A size of 0 or less, which no
// window has, is the first-run size; a size beyond the desktop shrinks to it,
// so that the frame and its buttons stay within reach. A position is kept as
// saved, off the screen too, but within the range where Qt's arithmetic on
// window rectangles does not overflow.
QRect usableOuterBounds(int left, int top, int width, int height)
{
    QSize largest(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        largest = largest.boundedTo(screen->availableVirtualGeometry().size());
    }
    const int usableWidth = width > 0 ? std::min(width, largest.width()) : kDefaultWidth;
    const int usableHeight = height > 0 ? std::min(height, largest.height()) : kDefaultHeight;
    return QRect(std::clamp(left, -QWIDGETSIZE_MAX, QWIDGETSIZE_MAX), std::clamp(top, -QWIDGETSIZE_MAX, QWIDGETSIZE_MAX),
                 usableWidth, usableHeight);
}

// A value label's text as UTF-8. The values are short runs of digits, read on
// every send: those are copied as they are, without the buffer that
// toStdString() allocates on the way.
std::string labelText(const QLabel* label)
{
    const QString text = label->text();
    std::string bytes(static_cast<std::size_t>(text.size()), '\0');
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text.at(i).unicode();
        if (unit >= 0x80) {
            return text.toStdString();
        }
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(unit);
    }
    return bytes;
}

QLabel* makeLabel(QWidget* parent, const char* text, int left, int top, int width, int height)
{
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setGeometry(left, top, width, height);
    label->setFocusPolicy(Qt::NoFocus);
    label->adjustSize();
    return label;
}

}  // namespace

void QtEventPump::sleepMilliseconds(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

void QtEventPump::processPendingEvents()
{
    QCoreApplication::processEvents();
}

MainWindow::MainWindow(WindowServices services, QWidget* parent)
    : QWidget(parent),
      services_(std::move(services)),
      port_(services_.midi, *this, *this, services_.pump),
      selection_(*this, port_)
{
    buildControls();
    runStartup();
}

MainWindow::~MainWindow() = default;

bool MainWindow::hasSettingsStore() const
{
    return settings_ != nullptr;
}

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

    deviceCaption = makeLabel(this, "音源=", 8, 8, 30, 12);
    deviceList = new QComboBox(this);
    deviceList->setGeometry(48, 8, 161, 20);
    deviceList->setEditable(false);
    deviceList->setMaxVisibleItems(8);
    deviceList->setFocusPolicy(Qt::ClickFocus);
    programCaption = makeLabel(this, "プログラムナンバー =", 8, 32, 109, 12);
    programValue = makeLabel(this, "1", 120, 32, 6, 12);
    bankCaption = makeLabel(this, "バンクセレクト  =", 32, 48, 85, 12);
    bankValue = makeLabel(this, "0", 120, 48, 6, 12);
    channelCaption = makeLabel(this, "チャンネル  =", 48, 64, 68, 12);
    channelValue = makeLabel(this, "1", 121, 64, 6, 12);
    versionLabel = makeLabel(this, "Tavrelle Version 1.0", 8, 80, 165, 12);

    msbModeButton = new QRadioButton(QStringLiteral("MSB"), this);
    msbModeButton->setGeometry(136, 32, 65, 17);
    msbModeButton->setChecked(true);
    msbModeButton->hide();
    lsbModeButton = new QRadioButton(QStringLiteral("LSB"), this);
    lsbModeButton->setGeometry(136, 56, 73, 17);
    lsbModeButton->setFocusPolicy(Qt::ClickFocus);
    lsbModeButton->hide();

    const char* names[] = {"deviceCaption", "programCaption", "bankCaption", "programValue", "bankValue", "versionLabel", "channelCaption", "channelValue"};
    QLabel* labels[] = {deviceCaption, programCaption, bankCaption, programValue, bankValue, versionLabel, channelCaption, channelValue};
    for (int i = 0; i < 8; ++i) {
        labels[i]->setObjectName(QString::fromLatin1(names[i]));
        labels[i]->installEventFilter(this);
    }
    deviceList->setObjectName(QStringLiteral("deviceList"));
    msbModeButton->setObjectName(QStringLiteral("msbModeButton"));
    lsbModeButton->setObjectName(QStringLiteral("lsbModeButton"));

    // Key preview: the window's handlers see every key the list would get,
    // also while its drop-down is open.
    deviceList->installEventFilter(this);
    deviceList->view()->installEventFilter(this);
    deviceList->view()->viewport()->installEventFilter(this);
    connect(deviceList, &QComboBox::activated, this, &MainWindow::onDeviceActivated);
    deviceList->setAccessibleName(deviceCaption->text().chopped(1));
    deviceCaption->setAccessibleName(deviceList->accessibleName());
    describeSelection();

    setGeometry(kDesignedBounds);
}

QRect MainWindow::outerBounds() const
{
    return frameGeometry();
}

void MainWindow::setOuterBounds(const QRect& bounds)
{
    // move() places the frame's corner; resize() sizes the inside, so the
    // frame's own size is taken off. Before the window manager has framed the
    // window that size is unknown, and the correction waits for the frame.
    move(bounds.topLeft());
    pendingOuterSize_ = bounds.size();
    applyPendingOuterSize(false);
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

void MainWindow::runStartup()
{
    if (services_.midi.deviceCount() == 0) {
        services_.messages.showMessage(kNoDeviceMessage);
    }
    port_.DeviceCount = static_cast<int>(services_.midi.deviceCount());
    services_.pump.processPendingEvents();

    try {
        settings_ = std::make_unique<settings::SettingsFile>(settings::SettingsFile::open(
            services_.settingsReadPath.empty() ? services_.settingsPath : services_.settingsReadPath,
            services_.settingsPath));
    } catch (const settings::SettingsError& failure) {
        // The rest of start-up is skipped: designed bounds, empty list,
        // nothing opened, nothing sent.
        services_.messages.showError(failure.what());
        return;
    }

    const int height = settings_->readInteger(kWindowSection, kHeightRead, kDefaultHeight);
    const int width = settings_->readInteger(kWindowSection, kWidthRead, kDefaultWidth);
    const int top = settings_->readInteger(kWindowSection, kTopRead, kDefaultTop);
    const int left = settings_->readInteger(kWindowSection, kLeftRead, kDefaultLeft);
    setOuterBounds(usableOuterBounds(left, top, width, height));

    const int savedPosition = settings_->readInteger(kDevSectionRead, kDevNumRead, kDefaultDevicePosition);
    const std::string savedName = settings_->readString(kDevSection, kDeviceName, kDefaultDeviceName);
    selection_.BankLsbValue = settings_->readInteger(kDevSection, kBankLsb, kDefaultBankLsb);

    port_.listMidiOutDevices();
    port_.restoreDeviceSelection(savedPosition, savedName);
    services_.pump.processPendingEvents();
    const int opened = port_.openMidiOutWithRetries(static_cast<unsigned>(port_.SelectedDeviceId));
    if (opened != midi::result::kNoError) {
        port_.reportStartupOpenFailure(opened);
    }
    services_.pump.processPendingEvents();
    selection_.takeChannelFromDisplay();
    selection_.sendVoiceSelection();
}

bool MainWindow::runShutdown()
{
    port_.closeMidiOut();
    // A settings file that could not be read at start-up is never written
    // over: the user's settings in it would be lost.
    if (!settings_) {
        return true;
    }
    const QRect bounds = outerBounds();
    settings_->writeInteger(kWindowSection, kHeightWritten, bounds.height());
    settings_->writeInteger(kWindowSection, kWidthWritten, bounds.width());
    settings_->writeInteger(kWindowSection, kTopWritten, bounds.top());
    settings_->writeInteger(kWindowSection, kLeftWritten, bounds.left());
    settings_->writeInteger(kDevSection, kDevNumWritten, port_.SelectedDeviceId);
    settings_->writeString(kDevSection, kDeviceName, selectedText());
    settings_->writeInteger(kDevSection, kBankLsb, selection_.BankLsbValue);
    try {
        settings_->save();
    } catch (const settings::SettingsError& failure) {
        services_.messages.showError(failure.what());
        return false;
    }
    settings_.reset();
    return true;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (runShutdown()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void MainWindow::stepForKey(int key)
{
    using midi::StepDirection;
    switch (key) {
    case Qt::Key_Up: selection_.stepProgramNumber(StepDirection::Up); break;
    case Qt::Key_Down: selection_.stepProgramNumber(StepDirection::Down); break;
    case Qt::Key_Left: selection_.stepBankNumber(StepDirection::Down); break;
    case Qt::Key_Right: selection_.stepBankNumber(StepDirection::Up); break;
    case Qt::Key_PageUp: selection_.stepChannel(StepDirection::Up); break;
    case Qt::Key_PageDown: selection_.stepChannel(StepDirection::Down); break;
    default: break;
    }
}

void MainWindow::sendOnKeyRelease()
{
    selection_.sendVoiceSelection();
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
    QCoreApplication::sendEvent(deviceList, &blanks);
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

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    const auto type = event->type();
    if (type == QEvent::Wheel) {
        // The wheel changes nothing over the window, the labels or the list.
        return watched == deviceList->view() || watched == deviceList->view()->viewport()
                   ? QWidget::eventFilter(watched, event)
                   : true;
    }
    if (type == QEvent::KeyPress || type == QEvent::KeyRelease) {
        if (watched == deviceList || watched == deviceList->view() || watched == deviceList->view()->viewport()) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (!forwardingBlanks_) {
                const QString typed = type == QEvent::KeyPress ? key->text() : QString();
                handleKey(event);
                if (watched == deviceList && !typed.isEmpty() && typed.at(0).isPrint()) {
                    forwardTypedAsBlanks(typed);
                }
                return true;
            }
        }
        return QWidget::eventFilter(watched, event);
    }
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
        const auto button = static_cast<QMouseEvent*>(event)->button();
        if (watched == programCaption) {
            onProgramCaptionPressed(button);
            return true;
        }
        if (watched == bankCaption) {
            onBankCaptionPressed(button);
            return true;
        }
        if (watched == programValue) {
            onProgramValuePressed(button);
            return true;
        }
        if (watched == bankValue) {
            onBankValuePressed(button);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::onProgramCaptionPressed(Qt::MouseButton button)
{
    if (button == Qt::LeftButton || button == Qt::RightButton) {
        selection_.stepProgramNumber(button == Qt::LeftButton ? midi::StepDirection::Up : midi::StepDirection::Down);
        selection_.sendVoiceSelection();
    }
}

void MainWindow::onProgramValuePressed(Qt::MouseButton button)
{
    if (button == Qt::LeftButton || button == Qt::RightButton) {
        selection_.stepProgramNumber(button == Qt::LeftButton ? midi::StepDirection::Up : midi::StepDirection::Down);
        selection_.sendVoiceSelection();
    } else if (button == Qt::MiddleButton) {
        selection_.sendVoiceSelection();
    }
}

void MainWindow::onBankCaptionPressed(Qt::MouseButton button)
{
    if (button == Qt::LeftButton || button == Qt::RightButton) {
        selection_.stepBankNumber(button == Qt::LeftButton ? midi::StepDirection::Up : midi::StepDirection::Down);
        selection_.sendVoiceSelection();
    }
}

void MainWindow::onBankValuePressed(Qt::MouseButton button)
{
    onBankCaptionPressed(button);
}

void MainWindow::onDeviceActivated()
{
    port_.switchMidiOutDevice();
    selection_.sendVoiceSelection();
}

std::string MainWindow::programText() const
{
    return labelText(programValue);
}

void MainWindow::setProgramText(const std::string& text)
{
    programValue->setText(QString::fromStdString(text));
    programValue->adjustSize();
    describeSelection();
}

std::string MainWindow::bankText() const
{
    return labelText(bankValue);
}

void MainWindow::setBankText(const std::string& text)
{
    bankValue->setText(QString::fromStdString(text));
    bankValue->adjustSize();
    describeSelection();
}

std::string MainWindow::channelText() const
{
    return labelText(channelValue);
}

void MainWindow::setChannelText(const std::string& text)
{
    channelValue->setText(QString::fromStdString(text));
    channelValue->adjustSize();
    describeSelection();
}

// Tool tips and what a screen reader announces: each value with its caption
// ("プログラムナンバー = 5"), and the General MIDI voice of the program.
void MainWindow::describeSelection()
{
    const auto announce = [](QLabel* caption, QLabel* value) {
        const QString spoken = caption->text().simplified() + u' ' + value->text();
        caption->setAccessibleName(spoken);
        value->setAccessibleName(spoken);
    };
    announce(programCaption, programValue);
    announce(bankCaption, bankValue);
    announce(channelCaption, channelValue);
    const std::string_view voice = generalMidiVoiceHint(programValue->text().toInt(), channelValue->text().toInt());
    const QString hint = QString::fromUtf8(voice.data(), static_cast<qsizetype>(voice.size()));
    for (QLabel* label : {programCaption, programValue}) {
        label->setToolTip(hint);
        label->setAccessibleDescription(hint);
    }
}

bool MainWindow::msbModeChecked() const
{
    return msbModeButton->isChecked();
}

void MainWindow::clear()
{
    deviceList->clear();
}

void MainWindow::append(const std::string& name)
{
    deviceList->addItem(QString::fromStdString(name));
}

int MainWindow::count() const
{
    return deviceList->count();
}

int MainWindow::selectedIndex() const
{
    return deviceList->currentIndex();
}

void MainWindow::selectIndex(int index)
{
    deviceList->setCurrentIndex(index >= 0 && index < deviceList->count() ? index : -1);
}

std::string MainWindow::selectedText() const
{
    return deviceList->currentIndex() >= 0 ? deviceList->currentText().toStdString() : std::string{};
}

void MainWindow::showMessage(const std::string& text)
{
    services_.messages.showMessage(text);
}

}  // namespace tavrelle::window
