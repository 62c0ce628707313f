// The tool's one window: the device list, the program, bank and channel, and
// the keys and mouse presses that step and send them. Start-up and shut-down
// live in StartupShutdown; the window runs them and shows what they set.
#pragma once

#include "midi/midi_out_port.h"
#include "midi/voice_selection.h"
#include "window/application.h"
#include "window/platform_choice.h"
#include "window/startup_shutdown.h"

#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tavrelle::window {

using WindowServices = StartupServices;

// The device list: before its drop-down opens, however it is opened, it lets
// the port list the system's ports again.
class DeviceListBox final : public QComboBox {
public:
    using QComboBox::QComboBox;
    void setBeforePopup(std::function<void()> beforePopup) { beforePopup_ = std::move(beforePopup); }
    void showPopup() override;

private:
    std::function<void()> beforePopup_;
};

class MainWindow final : public QWidget,
                         public WindowBoundsView,
                         private midi::VoiceDisplay,
                         private midi::DeviceListView {
    Q_OBJECT

public:
    // Builds the controls and runs the start-up sequence, whose messages
    // appear before the window; the caller shows the window afterwards.
    explicit MainWindow(WindowServices services, QWidget* parent = nullptr);
    ~MainWindow() override;

    QLabel* deviceCaption() const { return deviceCaption_; }
    DeviceListBox* deviceList() const { return deviceList_; }
    QLabel* programCaption() const { return programCaption_; }
    QLabel* programValue() const { return programValue_; }
    QLabel* bankCaption() const { return bankCaption_; }
    QLabel* bankValue() const { return bankValue_; }
    QLabel* channelCaption() const { return channelCaption_; }
    QLabel* channelValue() const { return channelValue_; }
    QLabel* versionLabel() const { return versionLabel_; }
    QRadioButton* msbModeButton() const { return msbModeButton_; }
    QRadioButton* lsbModeButton() const { return lsbModeButton_; }

    midi::VoiceSelection& selection() { return startupShutdown_->selection(); }
    midi::MidiOutPort& port() { return startupShutdown_->port(); }

    // Frame included, as the settings file keeps them.
    OuterBounds outerBounds() const override;
    void setOuterBounds(const OuterBounds& bounds) override;
    OuterBounds availableDesktop() const override;
    bool positionKnown() const override { return platformReportsWindowPosition(); }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void applyPendingOuterSize(bool lastChance);
    void describeSelection(int programNumber, int channelNumber);
    void stepForKey(int key);
    void sendOnKeyRelease();
    void onDeviceActivated();
    void onProgramCaptionPressed(Qt::MouseButton button);
    void onBankCaptionPressed(Qt::MouseButton button);
    void onProgramValuePressed(Qt::MouseButton button);
    void onBankValuePressed(Qt::MouseButton button);
    bool handleKey(QEvent* event);
    bool isDeviceListPart(const QObject* watched) const;
    void forwardTypedAsBlanks(const QString& typed);

    void showVoiceSelection(int programNumber, int bankNumber, int channelNumber) override;
    void showDevices(const std::vector<std::string>& names) override;
    int selectedIndex() const override;
    void selectIndex(int index) override;

    QLabel* deviceCaption_ = nullptr;
    DeviceListBox* deviceList_ = nullptr;
    QLabel* programCaption_ = nullptr;
    QLabel* programValue_ = nullptr;
    QLabel* bankCaption_ = nullptr;
    QLabel* bankValue_ = nullptr;
    QLabel* channelCaption_ = nullptr;
    QLabel* channelValue_ = nullptr;
    QLabel* versionLabel_ = nullptr;
    QRadioButton* msbModeButton_ = nullptr;
    QRadioButton* lsbModeButton_ = nullptr;

    std::unique_ptr<StartupShutdown> startupShutdown_;
    bool forwardingBlanks_ = false;
    // Outer size asked for before the window manager's frame was known.
    std::optional<QSize> pendingOuterSize_;
};

}  // namespace tavrelle::window
