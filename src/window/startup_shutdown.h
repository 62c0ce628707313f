// The tool's start-up and shut-down: what happens from launch until the
// window is ready, and when it closes. Plain C++: the window is reached
// through the small views below, so tests run it without widgets.
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

// A window's bounds, frame included, in the settings file's terms.
struct OuterBounds {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const OuterBounds&) const = default;
};

// The bounds the window is drawn with, kept when the settings cannot be read.
inline constexpr OuterBounds kDesignedBounds{192, 107, 221, 125};

// The window as start-up and shut-down see it.
class WindowBoundsView {
public:
    virtual ~WindowBoundsView() = default;
    virtual OuterBounds outerBounds() const = 0;
    virtual void setOuterBounds(const OuterBounds& bounds) = 0;
    // The size of the desktop a window can be given (its position is not used).
    virtual OuterBounds availableDesktop() const = 0;
    // False where the window system does not tell a window where it is
    // (native Wayland): the saved position is then kept as it was read.
    virtual bool positionKnown() const { return true; }
};

// Saved bounds as a window can take them. A size of 0 or less, which no
// window has, is the first-run size; a size beyond the desktop shrinks to it,
// so that the frame and its buttons stay within reach. A position is kept as
// saved, off the screen too, within the range a window system can place a
// window at.
OuterBounds usableOuterBounds(const OuterBounds& saved, const OuterBounds& desktop);

struct StartupServices {
    midi::MidiOutService& midi;
    midi::MessagePresenter& messages;
    midi::EventPump& pump;
    // Where the settings are saved at shut-down, and read at start-up unless
    // settingsReadPath names another file (an administrator's defaults that
    // this user reads but never writes).
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
    // Owns the port and the selection from here on; runs nothing yet.
    StartupShutdown(StartupServices services, WindowViews views);
    ~StartupShutdown();

    // Reads the settings, places the window, lists and restores the device,
    // opens it and sends the selection once. The messages it shows appear
    // before the window does, as the caller shows the window afterwards.
    void runStartup();
    // Saves the settings and closes the device. False when the close must be
    // abandoned: the save failed for the first time in a row and the error
    // was shown; the device stays open. A second failure in a row lets the
    // window close unsaved.
    bool runShutdown();

    midi::MidiOutPort& port() { return port_; }
    midi::VoiceSelection& selection() { return selection_; }
    WindowRules& rules() { return rules_; }
    // True while a settings store is open (from start-up until a good save).
    bool hasSettingsStore() const { return settings_ != nullptr; }
    // The settings as read at start-up; nullptr while there is no store.
    const settings::SettingsFile* settingsStore() const { return settings_.get(); }

private:
    // Each step of start-up in the order it runs; false ends start-up.
    void reportMissingDevices();
    bool openSettings();
    void restoreWindowBounds();
    void restoreDevice();
    void openDevice();
    void writeSettings();
    // Writes and saves the settings; false, with the error shown, when the
    // save failed.
    bool saveSettings();

    StartupServices services_;
    WindowViews views_;
    midi::MidiOutPort port_;
    midi::VoiceSelection selection_;
    WindowRules rules_;
    std::unique_ptr<settings::SettingsFile> settings_;
    // The last close was abandoned because its save failed.
    bool lastSaveFailed_ = false;
    // The saved device was not listed at start-up: its name and position are
    // saved as they were read unless the user picks a device.
    bool keepSavedDevice_ = false;
    int savedPosition_ = 0;
};

}  // namespace tavrelle::window
