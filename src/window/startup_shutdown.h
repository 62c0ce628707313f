// Start-up and shut-down in plain C++: the window is reached through the
// small views below, so tests run them without widgets.
#pragma once

#include "midi/midi_out_port.h"
#include "midi/voice_selection.h"
#include "window/window_rules.h"

#include <memory>
#include <string>

namespace tavrelle::settings {
class SettingsFile;
}

namespace tavrelle::window {

// Frame included, as the settings file keeps them.
struct OuterBounds {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const OuterBounds&) const = default;
};

inline constexpr OuterBounds kDesignedBounds{192, 107, 221, 125};

class WindowBoundsView {
public:
    virtual ~WindowBoundsView() = default;
    virtual OuterBounds outerBounds() const = 0;
    virtual void setOuterBounds(const OuterBounds& bounds) = 0;
    // Only its size is used.
    virtual OuterBounds availableDesktop() const = 0;
    // False where the window system does not tell a window where it is
    // (native Wayland): the saved position is then kept as it was read.
    virtual bool positionKnown() const { return true; }
};

// A size of 0 or less is the first-run size; a size beyond the desktop
// shrinks to it, so that the frame's buttons stay within reach. A position is
// kept, off the screen too, within the range a window system can place at.
OuterBounds usableOuterBounds(const OuterBounds& saved, const OuterBounds& desktop);

struct StartupServices {
    midi::MidiOutService& midi;
    midi::MessagePresenter& messages;
    midi::EventPump& pump;
    // Also read at start-up unless settingsReadPath names an administrator's
    // defaults, which this user never writes.
    std::string settingsPath;
    std::string settingsReadPath = {};
};

struct WindowViews {
    WindowBoundsView& bounds;
    midi::DeviceListView& devices;
    midi::VoiceDisplay& voice;
};

class StartupShutdown {
public:
    StartupShutdown(StartupServices services, WindowViews views);
    ~StartupShutdown();

    // Its messages appear before the window, which the caller shows after.
    void runStartup();
    // False, the device still open, when the close must be abandoned: the
    // first failed save in a row. A second failure lets it close unsaved.
    bool runShutdown();

    midi::MidiOutPort& port() { return port_; }
    midi::VoiceSelection& selection() { return selection_; }
    WindowRules& rules() { return rules_; }
    // From start-up until a good save.
    bool hasSettingsStore() const { return settings_ != nullptr; }
    // The settings as read at start-up; nullptr while there is no store.
    const settings::SettingsFile* settingsStore() const { return settings_.get(); }

private:
    // Start-up's steps in the order they run; false ends start-up.
    void reportMissingDevices();
    bool openSettings();
    void restoreWindowBounds();
    void restoreDevice();
    void openDevice();
    // Shut-down's: false, with the error shown, when the save failed.
    bool saveSettings();
    void writeSettings();

    StartupServices services_;
    WindowViews views_;
    midi::MidiOutPort port_;
    midi::VoiceSelection selection_;
    WindowRules rules_;
    std::unique_ptr<settings::SettingsFile> settings_;
    bool lastSaveFailed_ = false;
    // Not listed at start-up: saved as read unless the user picks a device.
    bool keepSavedDevice_ = false;
    int savedPosition_ = 0;
};

}  // namespace tavrelle::window
