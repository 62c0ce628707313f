#pragma once

#include "midi/midi_out_port.h"
#include "midi/voice_selection.h"
#include "window/startup_shutdown.h"
#include "window/voice_names.h"
#include "window/window_rules.h"
#include "window/win32/message_box.h"

#include <windows.h>

#include <array>
#include <memory>
#include <optional>
#include <string>

namespace tavrelle::window {

struct Win32Services {
    midi::MidiOutService& midi;
    MessageBoxPresenter& messages;
    // Shown on the taskbar instead of the window's caption.
    std::wstring applicationTitle;
    std::string settingsPath;
    std::string settingsReadPath;
};

class Win32MainWindow final : public WindowBoundsView,
                              private midi::VoiceDisplay,
                              private midi::DeviceListView,
                              private midi::EventPump {
public:
    // Runs start-up, whose messages appear before the window.
    Win32MainWindow(HINSTANCE instance, Win32Services services);
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    // Shows the window as the launch asks, runs the message loop; exit code.
    int run(int showCommand);

    OuterBounds outerBounds() const override;
    void setOuterBounds(const OuterBounds& bounds) override;
    OuterBounds availableDesktop() const override;

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK applicationProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    WNDCLASSEXW iconClass(const wchar_t* name, WNDPROC procedure) const;
    void createApplicationWindow(const std::wstring& title);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // Each family of messages; nothing when the message is not of it.
    std::optional<LRESULT> handleDeviceMessage(UINT message, WPARAM wParam);
    std::optional<LRESULT> handleListMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void onCreate();
    void drawListItem(const DRAWITEMSTRUCT& item);
    void createControls();
    void close();
    WindowRules& rules() { return startupShutdown_->rules(); }
    // Key preview and the device list's key handling, ahead of dispatch.
    bool preview(MSG& message);
    void dispatch(MSG& message);
    bool listDropped() const;
    void onMousePress(UINT button, POINT at);
    void onDevicesChanged();
    int scaled(int pixels) const;
    void setLabelText(Control label, const std::wstring& text);
    void createToolTips();
    void placeToolTip(Control label);
    const wchar_t* toolTipText(Control label);

    void showVoiceSelection(int programNumber, int bankNumber, int channelNumber) override;
    void showDevices(const std::vector<std::string>& names) override;
    int selectedIndex() const override;
    void selectIndex(int index) override;
    void showAwayDevice(const std::string& name) override;
    void sleepMilliseconds(int milliseconds) override;
    void processPendingEvents() override;

    HINSTANCE instance_;
    Win32Services services_;
    // The taskbar button's window, titled with the application title and never
    // seen; as the main window's owner it leaves that one without a button, and
    // minimising the main window minimises it until the button restores both.
    HWND application_ = nullptr;
    HWND window_ = nullptr;
    HWND deviceList_ = nullptr;
    std::array<HWND, kLabelCount> labels_{};
    HFONT font_ = nullptr;
    HWND toolTips_ = nullptr;
    VoiceNames voiceNames_;
    std::wstring toolTipText_;
    HDEVNOTIFY deviceNotification_ = nullptr;
    std::wstring awayName_;
    // Devices changed while the drop-down was open: listed again once it closes.
    bool relistWhenClosed_ = false;
    int dpi_ = 96;
    // Once the user clicked the device list, the focus returns to it
    // whenever the window is activated.
    bool listTookFocus_ = false;
    std::unique_ptr<StartupShutdown> startupShutdown_;
};

}  // namespace tavrelle::window
