// The tool's one window: the device list, the program, bank and channel, and
// the keys and mouse presses that step and send them.
#pragma once

#include "midi/midi_out_port.h"
#include "midi/voice_selection.h"
#include "window/message_box.h"

#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

namespace tavrelle::settings {
class SettingsFile;
}

namespace tavrelle::window {

// What the window needs from the world; tests hand in fakes.
struct WindowServices {
    midi::MidiOutService& midi;
    MessagePresenter& messages;
    midi::EventPump& pump;
    std::string settingsPath;
    std::string settingsReadPath = {};  // empty: read where the settings are saved
};

// Waits and event runs of the real user-interface thread.
class QtEventPump final : public midi::EventPump {
public:
    void sleepMilliseconds(int milliseconds) override;
    void processPendingEvents() override;
};

class MainWindow final : public QWidget, private midi::VoiceDisplay, private midi::DeviceListView, private midi::UserNotifier {
    Q_OBJECT

public:
    static constexpr QRect kDesignedBounds{192, 107, 221, 125};  // left, top, width, height

    // Builds the controls and runs the start-up sequence; the caller shows
    // the window afterwards.
    explicit MainWindow(WindowServices services, QWidget* parent = nullptr);
    ~MainWindow() override;

    QLabel* deviceCaption;
    QLabel* programCaption;
    QLabel* bankCaption;
    QLabel* programValue;
    QLabel* bankValue;
    QLabel* versionLabel;
    QLabel* channelCaption;
    QLabel* channelValue;
    QComboBox* deviceList;
    QRadioButton* msbModeButton;
    QRadioButton* lsbModeButton;

    midi::VoiceSelection& selection() { return selection_; }
    midi::MidiOutPort& port() { return port_; }
    // True while a settings store is open (from start-up until a good save).
    bool hasSettingsStore() const;

    // The window's outer bounds in the settings file's terms.
    QRect outerBounds() const;
    void setOuterBounds(const QRect& bounds);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void applyPendingOuterSize(bool lastChance);
    void describeSelection();
    void runStartup();
    // Returns false when the close must be abandoned.
    bool runShutdown();
    void stepForKey(int key);
    void sendOnKeyRelease();
    void onDeviceActivated();
    void onProgramCaptionPressed(Qt::MouseButton button);
    void onBankCaptionPressed(Qt::MouseButton button);
    void onProgramValuePressed(Qt::MouseButton button);
    void onBankValuePressed(Qt::MouseButton button);
    bool handleKey(QEvent* event);
    void forwardTypedAsBlanks(const QString& typed);

    // VoiceDisplay over the labels.
    std::string programText() const override;
    void setProgramText(const std::string& text) override;
    std::string bankText() const override;
    void setBankText(const std::string& text) override;
    std::string channelText() const override;
    void setChannelText(const std::string& text) override;
    bool msbModeChecked() const override;
    // DeviceListView over deviceList.
    void clear() override;
    void append(const std::string& name) override;
    int count() const override;
    int selectedIndex() const override;
    void selectIndex(int index) override;
    std::string selectedText() const override;
    // UserNotifier through the message box.
    void showMessage(const std::string& text) override;

    WindowServices services_;
    midi::MidiOutPort port_;
    midi::VoiceSelection selection_;
    std::unique_ptr<settings::SettingsFile> settings_;
    bool forwardingBlanks_ = false;
    // Outer size asked for before the window manager's frame was known.
    std::optional<QSize> pendingOuterSize_;
};

}  // namespace tavrelle::window
