// Test support that runs under Wine beside the tool: reads the tool's
// windows through the system's own calls, and holds a file open the way
// another program would.
//   probe texts        the main window's bounds and caption, its owner's title,
//                      the focus, the controls, then every message box and
//                      tool tip the tool shows, one a line
//   probe voices SETTINGS-PATH INSTRUMENT PROGRAM BANK
//                      the program's and the bank's hint, one a line, from
//                      the instrument files beside SETTINGS-PATH, read as
//                      the tool reads them
//   probe ok           presses "OK" on the tool's message boxes
//   probe geometry     each message box's bounds, its text's size and the
//                      screen's: "L T W H TEXT-W TEXT-H SCREEN-W SCREEN-H"
//   probe hold PATH S  holds PATH open for writing for S seconds
//   probe devicechange tells the tool's window that devices changed, as the
//                      system does when one comes or goes
//   probe resume       tells the tool's window that the machine woke from
//                      sleep, as the system does after a suspend
#include "window/voice_names.h"

#include <windows.h>

#include <dbt.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string utf8(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
    return out;
}

std::wstring textOf(HWND window)
{
    wchar_t buffer[1024] = {};
    const int length = GetWindowTextW(window, buffer, 1024);
    return std::wstring(buffer, static_cast<std::size_t>(length > 0 ? length : 0));
}

std::wstring classOf(HWND window)
{
    wchar_t buffer[256] = {};
    const int length = GetClassNameW(window, buffer, 256);
    return std::wstring(buffer, static_cast<std::size_t>(length > 0 ? length : 0));
}

void print(const std::string& line)
{
    const std::string out = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

std::string rectText(HWND window)
{
    RECT r{};
    GetWindowRect(window, &r);
    return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " +
           std::to_string(r.bottom - r.top);
}

DWORD toolProcess = 0;

BOOL CALLBACK printControl(HWND control, LPARAM)
{
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    print("control " + utf8(classOf(control)) + " " + std::to_string(GetDlgCtrlID(control)) + " " +
          (IsWindowVisible(control) ? "visible" : "hidden") + " " + std::to_string(r.left) + " " +
          std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " + std::to_string(r.bottom - r.top) +
          " " + utf8(textOf(control)));
    return TRUE;
}

// A message box: its text is the static control with identifier 0xFFFF, its
// icon the static with identifier 20 (0x440 under Wine).
BOOL CALLBACK printBox(HWND window, LPARAM)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != toolProcess || !IsWindowVisible(window) || classOf(window) != L"#32770") {
        return TRUE;
    }
    HWND icon = GetDlgItem(window, 20);
    if (icon == nullptr) {
        icon = GetDlgItem(window, 0x440);
    }
    print("box " + utf8(textOf(window)) + "\t" + utf8(textOf(GetDlgItem(window, 0xFFFF))) + "\t" +
          (icon != nullptr && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0 ? "icon" : "no-icon"));
    return TRUE;
}

BOOL CALLBACK printToolTip(HWND window, LPARAM)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == toolProcess && IsWindowVisible(window) && classOf(window) == L"tooltips_class32") {
        // GetWindowText reads another process's stored caption; the tip's
        // text comes only from the tip itself.
        wchar_t text[1024] = {};
        DWORD_PTR length = 0;
        SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &length);
        print("tooltip " + utf8(std::wstring(text, std::min<std::size_t>(length, 1023))));
    }
    return TRUE;
}

int texts()
{
    const HWND window = FindWindowW(L"TavrelleMainWindow", nullptr);
    if (window == nullptr) {
        print("no-window");
        return 1;
    }
    const DWORD thread = GetWindowThreadProcessId(window, &toolProcess);
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(thread, &gui);
    print("window " + std::string(IsWindowVisible(window) ? "visible" : "hidden") + " " + rectText(window) + " " +
          utf8(textOf(window)));
    // The taskbar button's window.
    const HWND owner = GetWindow(window, GW_OWNER);
    print("owner " + (owner != nullptr ? utf8(textOf(owner)) : std::string("none")));
    print("focus " + (gui.hwndFocus == window ? std::string("window")
                      : gui.hwndFocus != nullptr ? utf8(classOf(gui.hwndFocus))
                                                 : std::string("none")));
    EnumChildWindows(window, printControl, 0);
    EnumWindows(printBox, 0);
    EnumWindows(printToolTip, 0);
    return 0;
}

// The arguments as UTF-8: main's are in the ANSI code page.
int voices(int program, int bank)
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::string settingsPath = utf8(arguments[2]);
    const std::string instrument = utf8(arguments[3]);
    LocalFree(arguments);
    const tavrelle::window::InstrumentDefinitions definitions =
        tavrelle::window::readDefinitionsBeside(settingsPath);
    const tavrelle::window::VoiceHints hints =
        tavrelle::window::describeVoice(definitions, instrument, program, bank, 1);
    print(hints.program);
    print(hints.bank);
    return 0;
}

BOOL CALLBACK printBoxGeometry(HWND window, LPARAM)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == toolProcess && IsWindowVisible(window) && classOf(window) == L"#32770") {
        RECT text{};
        GetWindowRect(GetDlgItem(window, 0xFFFF), &text);
        print(rectText(window) + " " + std::to_string(text.right - text.left) + " " +
              std::to_string(text.bottom - text.top) + " " + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + " " +
              std::to_string(GetSystemMetrics(SM_CYSCREEN)));
    }
    return TRUE;
}

BOOL CALLBACK pressOk(HWND window, LPARAM)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == toolProcess && IsWindowVisible(window) && classOf(window) == L"#32770") {
        PostMessageW(GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
    }
    return TRUE;
}

// Runs `each` over the windows of the tool's process.
int forToolWindows(WNDENUMPROC each)
{
    const HWND window = FindWindowW(L"TavrelleMainWindow", nullptr);
    if (window == nullptr) {
        return 1;
    }
    GetWindowThreadProcessId(window, &toolProcess);
    EnumWindows(each, 0);
    return 0;
}

int postToTool(UINT message, WPARAM wParam)
{
    const HWND window = FindWindowW(L"TavrelleMainWindow", nullptr);
    return window != nullptr && PostMessageW(window, message, wParam, 0) ? 0 : 1;
}

int hold(const char* path, int seconds)
{
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        print("cannot-hold");
        return 1;
    }
    print("held");
    Sleep(static_cast<DWORD>(seconds) * 1000);
    CloseHandle(file);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "texts") {
        return texts();
    }
    if (argc == 2 && std::string(argv[1]) == "ok") {
        return forToolWindows(pressOk);
    }
    if (argc == 2 && std::string(argv[1]) == "geometry") {
        return forToolWindows(printBoxGeometry);
    }
    if (argc == 2 && std::string(argv[1]) == "devicechange") {
        return postToTool(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED);
    }
    if (argc == 2 && std::string(argv[1]) == "resume") {
        return postToTool(WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC);
    }
    if (argc == 6 && std::string(argv[1]) == "voices") {
        return voices(std::atoi(argv[4]), std::atoi(argv[5]));
    }
    if (argc == 4 && std::string(argv[1]) == "hold") {
        return hold(argv[2], std::atoi(argv[3]));
    }
    std::fputs("usage: probe texts | probe ok | probe geometry | probe devicechange | probe resume | "
               "probe hold PATH SECONDS | probe voices SETTINGS-PATH INSTRUMENT PROGRAM BANK\n", stderr);
    return 2;
}
