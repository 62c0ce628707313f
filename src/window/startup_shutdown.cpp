#include "window/startup_shutdown.h"

#include "settings/settings_file.h"

#include <algorithm>
#include <utility>

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

constexpr OuterBounds kFirstRunBounds{193, 159, 221, 125};
constexpr int kDefaultDevicePosition = 0;
constexpr const char* kDefaultDeviceName = "none";
constexpr int kDefaultBankLsb = 4;

// Qt's largest widget coordinate; beyond it, its rectangle sums overflow.
constexpr int kLargestCoordinate = (1 << 24) - 1;

constexpr const char* kNoDeviceMessage = "ＭＩＤＩ音源がないのでこのソフトは利用できません";

}  // namespace

OuterBounds usableOuterBounds(const OuterBounds& saved, const OuterBounds& desktop)
{
    const int largestWidth = std::clamp(desktop.width, 1, kLargestCoordinate);
    const int largestHeight = std::clamp(desktop.height, 1, kLargestCoordinate);
    return {
        std::clamp(saved.left, -kLargestCoordinate, kLargestCoordinate),
        std::clamp(saved.top, -kLargestCoordinate, kLargestCoordinate),
        saved.width > 0 ? std::min(saved.width, largestWidth) : kFirstRunBounds.width,
        saved.height > 0 ? std::min(saved.height, largestHeight) : kFirstRunBounds.height,
    };
}

StartupShutdown::StartupShutdown(StartupServices services, WindowViews views)
    : services_(std::move(services)),
      views_(views),
      port_(services_.midi, views_.devices, services_.messages, services_.pump),
      selection_(port_),
      rules_(selection_, port_, views_.devices)
{
    selection_.setDisplay(&views_.voice);
}

StartupShutdown::~StartupShutdown() = default;

void StartupShutdown::runStartup()
{
    reportMissingDevices();
    port_.setDeviceCount(static_cast<int>(services_.midi.deviceCount()));
    services_.pump.processPendingEvents();
    if (!openSettings()) {
        // The rest is skipped: designed bounds, empty list, nothing sent.
        return;
    }
    restoreWindowBounds();
    restoreDevice();
    services_.pump.processPendingEvents();
    openDevice();
    services_.pump.processPendingEvents();
    selection_.sendVoiceSelection();
}

void StartupShutdown::reportMissingDevices()
{
    if (services_.midi.deviceCount() == 0) {
        services_.messages.showMessage(kNoDeviceMessage);
    }
}

bool StartupShutdown::openSettings()
{
    try {
        const std::string& readPath =
            services_.settingsReadPath.empty() ? services_.settingsPath : services_.settingsReadPath;
        settings_ = std::make_unique<settings::SettingsFile>(
            settings::SettingsFile::open(readPath, services_.settingsPath));
    } catch (const settings::SettingsError& failure) {
        services_.messages.showError(failure.what());
        return false;
    }
    return true;
}

void StartupShutdown::restoreWindowBounds()
{
    OuterBounds saved;
    saved.height = settings_->readInteger(kWindowSection, kHeightRead, kFirstRunBounds.height);
    saved.width = settings_->readInteger(kWindowSection, kWidthRead, kFirstRunBounds.width);
    saved.top = settings_->readInteger(kWindowSection, kTopRead, kFirstRunBounds.top);
    saved.left = settings_->readInteger(kWindowSection, kLeftRead, kFirstRunBounds.left);
    views_.bounds.setOuterBounds(usableOuterBounds(saved, views_.bounds.availableDesktop()));
}

void StartupShutdown::restoreDevice()
{
    savedPosition_ = settings_->readInteger(kDevSectionRead, kDevNumRead, kDefaultDevicePosition);
    const std::string savedName = settings_->readString(kDevSection, kDeviceName, kDefaultDeviceName);
    selection_.setBankLsbValue(settings_->readInteger(kDevSection, kBankLsb, kDefaultBankLsb));
    port_.listMidiOutDevices();
    // The default names no device: nothing to wait for, nothing to keep.
    const bool named = !savedName.empty() && savedName != kDefaultDeviceName;
    port_.restoreDeviceSelection(savedPosition_, named ? savedName : std::string{});
    // A saved device that is not listed now (its MIDI system is away, or its
    // module is off) is still the user's choice until they pick another.
    keepSavedDevice_ = named && midi::savedDevicePosition(port_.deviceNames(), savedName) < 0;
}

void StartupShutdown::openDevice()
{
    port_.reportStartupOpenFailure(port_.openMidiOutWithRetries(static_cast<unsigned>(port_.selectedDeviceId())));
}

bool StartupShutdown::runShutdown()
{
    // Save first, close the device only when the close is final: a window a
    // failed save holds open still reaches its module. A file unreadable at
    // start-up is never written over: the user's settings in it would be lost.
    if (settings_ && !saveSettings()) {
        // The user has been told once; a window that no close can end is
        // worse than settings that are not saved.
        if (!std::exchange(lastSaveFailed_, true)) {
            return false;
        }
    }
    port_.closeMidiOut();
    return true;
}

bool StartupShutdown::saveSettings()
{
    writeSettings();
    try {
        settings_->save();
    } catch (const settings::SettingsError& failure) {
        services_.messages.showError(failure.what());
        return false;
    }
    settings_.reset();
    return true;
}

void StartupShutdown::writeSettings()
{
    const OuterBounds bounds = views_.bounds.outerBounds();
    settings_->writeInteger(kWindowSection, kHeightWritten, bounds.height);
    settings_->writeInteger(kWindowSection, kWidthWritten, bounds.width);
    if (views_.bounds.positionKnown()) {
        settings_->writeInteger(kWindowSection, kTopWritten, bounds.top);
        settings_->writeInteger(kWindowSection, kLeftWritten, bounds.left);
    }
    const bool keepSaved = keepSavedDevice_ && !port_.switchedByUser();
    settings_->writeInteger(kDevSection, kDevNumWritten, keepSaved ? savedPosition_ : port_.selectedDeviceId());
    if (!keepSaved) {
        settings_->writeString(kDevSection, kDeviceName, port_.chosenDeviceName());
    }
    settings_->writeInteger(kDevSection, kBankLsb, selection_.bankLsbValue());
}

}  // namespace tavrelle::window
