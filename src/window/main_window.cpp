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

TForm1::TForm1(WindowServices services, QWidget* parent)
    : QWidget(parent),
      services_(std::move(services)),
      port_(services_.midi, *this, *this, services_.pump),
      selection_(*this, port_)
{
    buildControls();
    FormCreate();
}

TForm1::~TForm1() = default;

bool TForm1::hasSettingsStore() const
{
    return settings_ != nullptr;
}

void TForm1::buildControls()
{
    setWindowTitle(QStringLiteral("Tavrelle"));
    setObjectName(QStringLiteral("Form1"));

    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic")});
    font.setPixelSize(12);
    setFont(font);

    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    setPalette(colours);
    setAutoFillBackground(true);

    Label1 = makeLabel(this, "音源=", 8, 8, 30, 12);
    ComboBox1 = new QComboBox(this);
    ComboBox1->setGeometry(48, 8, 161, 20);
    ComboBox1->setEditable(false);
    ComboBox1->setMaxVisibleItems(8);
    ComboBox1->setFocusPolicy(Qt::ClickFocus);
    Label2 = makeLabel(this, "プログラムナンバー =", 8, 32, 109, 12);
    Label4 = makeLabel(this, "1", 120, 32, 6, 12);
    Label3 = makeLabel(this, "バンクセレクト  =", 32, 48, 85, 12);
    Label5 = makeLabel(this, "0", 120, 48, 6, 12);
    Label7 = makeLabel(this, "チャンネル  =", 48, 64, 68, 12);
    Label8 = makeLabel(this, "1", 121, 64, 6, 12);
    Label6 = makeLabel(this, "Tavrelle Version 1.0", 8, 80, 165, 12);

    RadioButton1 = new QRadioButton(QStringLiteral("MSB"), this);
    RadioButton1->setGeometry(136, 32, 65, 17);
    RadioButton1->setChecked(true);
    RadioButton1->hide();
    RadioButton2 = new QRadioButton(QStringLiteral("LSB"), this);
    RadioButton2->setGeometry(136, 56, 73, 17);
    RadioButton2->setFocusPolicy(Qt::ClickFocus);
    RadioButton2->hide();

    const char* names[] = {"Label1", "Label2", "Label3", "Label4", "Label5", "Label6", "Label7", "Label8"};
    QLabel* labels[] = {Label1, Label2, Label3, Label4, Label5, Label6, Label7, Label8};
    for (int i = 0; i < 8; ++i) {
        labels[i]->setObjectName(QString::fromLatin1(names[i]));
        labels[i]->installEventFilter(this);
    }
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    RadioButton1->setObjectName(QStringLiteral("RadioButton1"));
    RadioButton2->setObjectName(QStringLiteral("RadioButton2"));

    // Key preview: the window's handlers see every key the list would get,
    // also while its drop-down is open.
    ComboBox1->installEventFilter(this);
    ComboBox1->view()->installEventFilter(this);
    ComboBox1->view()->viewport()->installEventFilter(this);
    connect(ComboBox1, &QComboBox::activated, this, &TForm1::ComboBox1Change);
    ComboBox1->setAccessibleName(Label1->text().chopped(1));
    Label1->setAccessibleName(ComboBox1->accessibleName());
    describeSelection();

    setGeometry(kDesignedBounds);
}

QRect TForm1::outerBounds() const
{
    return frameGeometry();
}

void TForm1::setOuterBounds(const QRect& bounds)
{
    // move() places the frame's corner; resize() sizes the inside, so the
    // frame's own size is taken off. Before the window manager has framed the
    // window that size is unknown, and the correction waits for the frame.
    move(bounds.topLeft());
    pendingOuterSize_ = bounds.size();
    applyPendingOuterSize(false);
}

void TForm1::applyPendingOuterSize(bool lastChance)
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

void TForm1::FormCreate()
{
    if (services_.midi.deviceCount() == 0) {
        services_.messages.showMessage(kNoDeviceMessage);
    }
    port_.DeviceCount = static_cast<int>(services_.midi.deviceCount());
    services_.pump.processPendingEvents();

    try {
        settings_ = std::make_unique<settings::SettingsFile>(settings::SettingsFile::Open(services_.settingsPath));
    } catch (const settings::SettingsError& failure) {
        // The rest of start-up is skipped: designed bounds, empty list,
        // nothing opened, nothing sent.
        services_.messages.showError(failure.what());
        return;
    }

    const int height = settings_->ReadInteger(kWindowSection, kHeightRead, kDefaultHeight);
    const int width = settings_->ReadInteger(kWindowSection, kWidthRead, kDefaultWidth);
    const int top = settings_->ReadInteger(kWindowSection, kTopRead, kDefaultTop);
    const int left = settings_->ReadInteger(kWindowSection, kLeftRead, kDefaultLeft);
    setOuterBounds(usableOuterBounds(left, top, width, height));

    const int savedPosition = settings_->ReadInteger(kDevSectionRead, kDevNumRead, kDefaultDevicePosition);
    const std::string savedName = settings_->ReadString(kDevSection, kDeviceName, kDefaultDeviceName);
    selection_.BankLsbValue = settings_->ReadInteger(kDevSection, kBankLsb, kDefaultBankLsb);

    port_.ListMidiOutDevices();
    port_.RestoreDeviceSelection(savedPosition, savedName);
    services_.pump.processPendingEvents();
    const int opened = port_.OpenMidiOutWithRetries(static_cast<unsigned>(port_.SelectedDeviceId));
    if (opened != midi::result::kNoError) {
        port_.ReportStartupOpenFailure(opened);
    }
    services_.pump.processPendingEvents();
    selection_.TakeChannelFromDisplay();
    selection_.SendVoiceSelection();
}

bool TForm1::FormClose()
{
    port_.CloseMidiOut();
    // A settings file that could not be read at start-up is never written
    // over: the user's settings in it would be lost.
    if (!settings_) {
        return true;
    }
    const QRect bounds = outerBounds();
    settings_->WriteInteger(kWindowSection, kHeightWritten, bounds.height());
    settings_->WriteInteger(kWindowSection, kWidthWritten, bounds.width());
    settings_->WriteInteger(kWindowSection, kTopWritten, bounds.top());
    settings_->WriteInteger(kWindowSection, kLeftWritten, bounds.left());
    settings_->WriteInteger(kDevSection, kDevNumWritten, port_.SelectedDeviceId);
    settings_->WriteString(kDevSection, kDeviceName, selectedText());
    settings_->WriteInteger(kDevSection, kBankLsb, selection_.BankLsbValue);
    try {
        settings_->Save();
    } catch (const settings::SettingsError& failure) {
        services_.messages.showError(failure.what());
        return false;
    }
    settings_.reset();
    return true;
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (FormClose()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void TForm1::FormKeyDown(int key)
{
    using midi::StepDirection;
    switch (key) {
    case Qt::Key_Up: selection_.StepProgramNumber(StepDirection::Up); break;
    case Qt::Key_Down: selection_.StepProgramNumber(StepDirection::Down); break;
    case Qt::Key_Left: selection_.StepBankNumber(StepDirection::Down); break;
    case Qt::Key_Right: selection_.StepBankNumber(StepDirection::Up); break;
    case Qt::Key_PageUp: selection_.StepChannel(StepDirection::Up); break;
    case Qt::Key_PageDown: selection_.StepChannel(StepDirection::Down); break;
    default: break;
    }
}

void TForm1::FormKeyUp()
{
    selection_.SendVoiceSelection();
}

// Every key that reaches the window or the list passes here first. Presses
// step (auto-repeats included), real releases send, and nothing goes on to
// the list or to Qt's focus handling, so Tab moves nothing and no key opens
// or changes the list.
bool TForm1::handleKey(QEvent* event)
{
    auto* key = static_cast<QKeyEvent*>(event);
    if (event->type() == QEvent::KeyPress) {
        FormKeyDown(key->key());
        return true;
    }
    if (key->isAutoRepeat()) {
        return true;
    }
    FormKeyUp();
    return true;
}

void TForm1::ComboBox1KeyPress(const QString& typed)
{
    // Typed characters reach the list's type-ahead search as blanks, with
    // the key itself already cancelled.
    QKeyEvent blanks(QEvent::KeyPress, 0, Qt::NoModifier, QString(typed.size(), u' '));
    forwardingBlanks_ = true;
    QCoreApplication::sendEvent(ComboBox1, &blanks);
    forwardingBlanks_ = false;
}

bool TForm1::event(QEvent* event)
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

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    const auto type = event->type();
    if (type == QEvent::Wheel) {
        // The wheel changes nothing over the window, the labels or the list.
        return watched == ComboBox1->view() || watched == ComboBox1->view()->viewport()
                   ? QWidget::eventFilter(watched, event)
                   : true;
    }
    if (type == QEvent::KeyPress || type == QEvent::KeyRelease) {
        if (watched == ComboBox1 || watched == ComboBox1->view() || watched == ComboBox1->view()->viewport()) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (!forwardingBlanks_) {
                const QString typed = type == QEvent::KeyPress ? key->text() : QString();
                handleKey(event);
                if (watched == ComboBox1 && !typed.isEmpty() && typed.at(0).isPrint()) {
                    ComboBox1KeyPress(typed);
                }
                return true;
            }
        }
        return QWidget::eventFilter(watched, event);
    }
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
        const auto button = static_cast<QMouseEvent*>(event)->button();
        if (watched == Label2) {
            Label2MouseDown(button);
            return true;
        }
        if (watched == Label3) {
            Label3MouseDown(button);
            return true;
        }
        if (watched == Label4) {
            Label4MouseDown(button);
            return true;
        }
        if (watched == Label5) {
            Label5MouseDown(button);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::Label2MouseDown(Qt::MouseButton button)
{
    if (button == Qt::LeftButton || button == Qt::RightButton) {
        selection_.StepProgramNumber(button == Qt::LeftButton ? midi::StepDirection::Up : midi::StepDirection::Down);
        selection_.SendVoiceSelection();
    }
}

void TForm1::Label4MouseDown(Qt::MouseButton button)
{
    if (button == Qt::LeftButton || button == Qt::RightButton) {
        selection_.StepProgramNumber(button == Qt::LeftButton ? midi::StepDirection::Up : midi::StepDirection::Down);
        selection_.SendVoiceSelection();
    } else if (button == Qt::MiddleButton) {
        selection_.SendVoiceSelection();
    }
}

void TForm1::Label3MouseDown(Qt::MouseButton button)
{
    if (button == Qt::LeftButton || button == Qt::RightButton) {
        selection_.StepBankNumber(button == Qt::LeftButton ? midi::StepDirection::Up : midi::StepDirection::Down);
        selection_.SendVoiceSelection();
    }
}

void TForm1::Label5MouseDown(Qt::MouseButton button)
{
    Label3MouseDown(button);
}

void TForm1::ComboBox1Change()
{
    port_.SwitchMidiOutDevice();
    selection_.SendVoiceSelection();
}

std::string TForm1::programText() const
{
    return labelText(Label4);
}

void TForm1::setProgramText(const std::string& text)
{
    Label4->setText(QString::fromStdString(text));
    Label4->adjustSize();
    describeSelection();
}

std::string TForm1::bankText() const
{
    return labelText(Label5);
}

void TForm1::setBankText(const std::string& text)
{
    Label5->setText(QString::fromStdString(text));
    Label5->adjustSize();
    describeSelection();
}

std::string TForm1::channelText() const
{
    return labelText(Label8);
}

void TForm1::setChannelText(const std::string& text)
{
    Label8->setText(QString::fromStdString(text));
    Label8->adjustSize();
    describeSelection();
}

// Tool tips and what a screen reader announces: each value with its caption
// ("プログラムナンバー = 5"), and the General MIDI voice of the program.
void TForm1::describeSelection()
{
    const auto announce = [](QLabel* caption, QLabel* value) {
        const QString spoken = caption->text().simplified() + u' ' + value->text();
        caption->setAccessibleName(spoken);
        value->setAccessibleName(spoken);
    };
    announce(Label2, Label4);
    announce(Label3, Label5);
    announce(Label7, Label8);
    const std::string_view voice = GeneralMidiVoiceHint(Label4->text().toInt(), Label8->text().toInt());
    const QString hint = QString::fromUtf8(voice.data(), static_cast<qsizetype>(voice.size()));
    for (QLabel* label : {Label2, Label4}) {
        label->setToolTip(hint);
        label->setAccessibleDescription(hint);
    }
}

bool TForm1::msbModeChecked() const
{
    return RadioButton1->isChecked();
}

void TForm1::clear()
{
    ComboBox1->clear();
}

void TForm1::append(const std::string& name)
{
    ComboBox1->addItem(QString::fromStdString(name));
}

int TForm1::count() const
{
    return ComboBox1->count();
}

int TForm1::selectedIndex() const
{
    return ComboBox1->currentIndex();
}

void TForm1::selectIndex(int index)
{
    ComboBox1->setCurrentIndex(index >= 0 && index < ComboBox1->count() ? index : -1);
}

std::string TForm1::selectedText() const
{
    return ComboBox1->currentIndex() >= 0 ? ComboBox1->currentText().toStdString() : std::string{};
}

void TForm1::showMessage(const std::string& text)
{
    services_.messages.showMessage(text);
}

}  // namespace tavrelle::window
