#pragma once

#include "midi/midi_out_port.h"
#include "midi/voice_selection.h"
#include "window/application.h"
#include "window/platform_choice.h"
#include "window/startup_shutdown.h"
#include "window/voice_names.h"
#include "window/window_rules.h"

#include <QComboBox>
#include <QLabel>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QKeyEvent;

namespace tavrelle::window {

using WindowServices = StartupServices;

// Before its drop-down opens, however it is opened, the port relists.
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
    // Runs start-up, whose messages appear before the window.
    explicit MainWindow(WindowServices services, QWidget* parent = nullptr);
    ~MainWindow() override;

    QLabel* label(Control control) const { return labels_[static_cast<std::size_t>(control)]; }
    DeviceListBox* deviceList() const { return deviceList_; }

    midi::VoiceSelection& selection() { return startupShutdown_->selection(); }
    midi::MidiOutPort& port() { return startupShutdown_->port(); }
    WindowRules& rules() { return startupShutdown_->rules(); }

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
    void describeSelection();
    bool handleKey(QEvent* event);
    // The one place that tells a real key release from an auto-repeat's.
    bool isRealRelease(const QKeyEvent& key) const;
    bool isDeviceListPart(const QObject* watched) const;

    void showVoiceSelection(int programNumber, int bankNumber, int channelNumber) override;
    void showDevices(const std::vector<std::string>& names) override;
    int selectedIndex() const override;
    void selectIndex(int index) override;
    void showAwayDevice(const std::string& name) override;

    // The service outlives the window; the window's callback does not.
    midi::MidiOutService& midi_;
    std::array<QLabel*, kLabelCount> labels_{};
    DeviceListBox* deviceList_ = nullptr;
    std::unique_ptr<StartupShutdown> startupShutdown_;
    VoiceNames voiceNames_;
    std::array<int, 3> shownVoice_{1, 0, 1};
    // Outer size asked for before the window manager's frame was known.
    std::optional<QSize> pendingOuterSize_;
};

}  // namespace tavrelle::window
