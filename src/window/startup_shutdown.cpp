#include "window/startup_shutdown.h"

#include "settings/settings_file.h"

#include <algorithm>
#include <exception>
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

// Qt's largest widget coordinate: beyond it its arithmetic on window
// rectangles overflows.
constexpr int kLargestCoordinate = (1 << 24) - 1;

constexpr const char* kNoDeviceMessage = "ＭＩＤＩ音源がないのでこのソフトは利用できません";

struct SavedDevice {
    int position = 0;
    std::string name;
};

SavedDevice readSavedDevice(const settings::SettingsFile& settings)
{
    return {settings.readInteger(kDevSectionRead, kDevNumRead, kDefaultDevicePosition),
            settings.readString(kDevSection, kDeviceName, kDefaultDeviceName)};
}

std::unique_ptr<settings::SettingsFile> openSettingsFile(const std::string& path, const std::string& readPath)
{
    return std::make_unique<settings::SettingsFile>(
        settings::SettingsFile::open(readPath.empty() ? path : readPath, path));
}

}  // namespace

EarlyStartup::EarlyStartup(midi::MidiOutService& midi, std::string settingsPath, std::string settingsReadPath)
    : midi_(midi), settingsPath_(std::move(settingsPath)), settingsReadPath_(std::move(settingsReadPath))
{
    worker_ = std::thread([this] { run(); });
}

EarlyStartup::~EarlyStartup()
{
    if (worker_.joinable()) {
        worker_.join();
    }
    if (firstOpen_ && firstOpen_->result == midi::result::kNoError) {
        midi_.close(firstOpen_->handle);
    }
}

void EarlyStartup::run()
{
    try {
        try {
            settings_ = openSettingsFile(settingsPath_, settingsReadPath_);
        } catch (const settings::SettingsError& failure) {
            settingsError_ = failure.what();
        }
        // The service keeps the list it reads here for start-up's own reads.
        const int deviceCount = static_cast<int>(midi_.deviceCount());
        if (!settings_) {
            return;  // start-up opens nothing without its settings
        }
        const SavedDevice saved = readSavedDevice(*settings_);
        const midi::DeviceListing listing = midi::listDevices(midi_);
        const int position = midi::restoredPosition(listing, deviceCount, saved.position, saved.name);
        FirstOpen first;
        first.deviceId = midi::restoredDeviceId(listing, deviceCount, position);
        first.result = midi_.open(first.handle, first.deviceId);
        firstOpen_ = first;
    } catch (...) {
        // Anything else is the window thread's to meet, as it would be
        // without this thread.
        failure_ = std::current_exception();
    }
}

void EarlyStartup::finish()
{
    if (worker_.joinable()) {
        worker_.join();
    }
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

std::unique_ptr<settings::SettingsFile> EarlyStartup::takeSettings() { return std::move(settings_); }

std::optional<EarlyStartup::FirstOpen> EarlyStartup::takeFirstOpen() { return std::exchange(firstOpen_, std::nullopt); }

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
      selection_(port_)
{
    selection_.setDisplay(&views_.voice);
}

StartupShutdown::~StartupShutdown() = default;

void StartupShutdown::runStartup()
{
    if (services_.early != nullptr) {
        services_.early->finish();
    }
    reportMissingDevices();
    port_.setDeviceCount(static_cast<int>(services_.midi.deviceCount()));
    services_.pump.processPendingEvents();
    if (!openSettings()) {
        // The rest is skipped: designed bounds, empty list, nothing opened,
        // nothing sent.
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
    if (services_.early != nullptr) {
        settings_ = services_.early->takeSettings();
        if (!settings_) {
            services_.messages.showError(services_.early->settingsError());
        }
        return settings_ != nullptr;
    }
    try {
        settings_ = openSettingsFile(services_.settingsPath, services_.settingsReadPath);
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
    const SavedDevice saved = readSavedDevice(*settings_);
    selection_.setBankLsbValue(settings_->readInteger(kDevSection, kBankLsb, kDefaultBankLsb));
    port_.listMidiOutDevices();
    port_.restoreDeviceSelection(saved.position, saved.name);
    // A saved device that is not listed now (its MIDI system is away, or its
    // module is off) is still the user's choice until they pick another.
    keepSavedDevice_ = saved.name != kDefaultDeviceName && !midi::sameDeviceName(saved.name, port_.selectedDeviceName());
}

void StartupShutdown::openDevice()
{
    const auto deviceId = static_cast<unsigned>(port_.selectedDeviceId());
    const auto first = services_.early != nullptr ? services_.early->takeFirstOpen() : std::nullopt;
    int opened = 0;
    if (first && first->deviceId == deviceId) {
        opened = port_.openMidiOutWithRetries(deviceId, first->handle, first->result);
    } else {
        if (first && first->result == midi::result::kNoError) {
            services_.midi.close(first->handle);
        }
        opened = port_.openMidiOutWithRetries(deviceId);
    }
    port_.reportStartupOpenFailure(opened);
}

bool StartupShutdown::runShutdown()
{
    port_.closeMidiOut();
    // A settings file that could not be read at start-up is never written
    // over: the user's settings in it would be lost.
    if (!settings_) {
        return true;
    }
    writeSettings();
    try {
        settings_->save();
    } catch (const settings::SettingsError& failure) {
        services_.messages.showError(failure.what());
        // The user has been told once; a window that no close can end is
        // worse than settings that are not saved.
        const bool giveUp = lastSaveFailed_;
        lastSaveFailed_ = true;
        return giveUp;
    }
    lastSaveFailed_ = false;
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
    if (!keepSavedDevice_ || port_.switchedByUser()) {
        settings_->writeInteger(kDevSection, kDevNumWritten, port_.selectedDeviceId());
        settings_->writeString(kDevSection, kDeviceName, port_.selectedDeviceName());
    }
    settings_->writeInteger(kDevSection, kBankLsb, selection_.bankLsbValue());
}

}  // namespace tavrelle::window
