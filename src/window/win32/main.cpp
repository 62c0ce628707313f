#include "midi/midi_out_service.h"
#include "settings/settings_location.h"
#include "window/win32/main_window.h"
#include "window/win32/message_box.h"
#include "window/win32/text.h"
#include "window/window_rules.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using tavrelle::window::utf8ToWide;
using tavrelle::window::wideToUtf8;

std::string lowerCase(std::string_view text)
{
    std::wstring wide = utf8ToWide(std::string(text));
    CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return wideToUtf8(wide);
}

std::wstring applicationTitle()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    const std::wstring path(buffer.data(), length);
    const std::wstring fileName = path.substr(path.find_last_of(L"\\/") + 1);
    return utf8ToWide(tavrelle::window::applicationTitle(wideToUtf8(fileName), lowerCase));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // The layout scales with the screen's dpi itself; the system must not
    // stretch the window's pixels on top of that.
    SetProcessDPIAware();
    const tavrelle::settings::SettingsLocation settings = tavrelle::settings::locateSettings();
    const auto midi = tavrelle::midi::createSystemMidiOutService();
    const std::wstring title = applicationTitle();
    tavrelle::window::MessageBoxPresenter messages(title);
    tavrelle::window::Win32MainWindow window(instance, {*midi, messages, title, settings.savePath, settings.readPath});
    return window.run(showCommand);
}
