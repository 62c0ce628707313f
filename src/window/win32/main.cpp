// Program entry on Windows: find the settings file, create the one window
// (its creation runs start-up), show it, and run the message loop until it
// closes.
#include "midi/winmm/winmm_midi_out_service.h"
#include "settings/settings_location.h"
#include "window/win32/main_window.h"
#include "window/win32/message_box.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // The layout scales with the screen's dpi itself; the system must not
    // stretch the window's pixels on top of that.
    SetProcessDPIAware();
    const tavrelle::settings::SettingsLocation settings = tavrelle::settings::locateSettings();
    const auto midi = tavrelle::midi::createWinmmMidiOutService();
    const std::wstring title = tavrelle::window::applicationTitle();
    tavrelle::window::MessageBoxPresenter messages(title);
    tavrelle::window::Win32MainWindow window(instance, {*midi, messages, title, settings.savePath, settings.readPath});
    return window.run(showCommand);
}
