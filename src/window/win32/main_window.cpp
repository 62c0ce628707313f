#include "window/win32/main_window.h"
#include "window/win32/font.h"
#include "window/win32/text.h"

#include <commctrl.h>
#include <dbt.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace tavrelle::window {
namespace {

constexpr const wchar_t* kWindowClass = L"TavrelleMainWindow";
constexpr const wchar_t* kApplicationClass = L"TavrelleApplication";
constexpr UINT kActivateMainWindow = WM_APP + 1;
constexpr UINT kDevicesChangedByService = WM_APP + 2;
constexpr int kDesignDpi = 96;
constexpr int kIconResource = 1;
constexpr int kDeviceListId = 100;
constexpr int kListItemHeight = 12;
constexpr int kListFieldHeight = 14;
// A second look after a device change: WinMM may list an arriving device a
// moment after the system announced it.
constexpr UINT_PTR kRelistTimer = 1;
constexpr UINT kRelistDelayMilliseconds = 1000;
constexpr Control kToolTipLabels[] = {Control::ProgramCaption, Control::ProgramValue, Control::BankCaption,
                                     Control::BankValue};
constexpr GUID kAudioInterfaces = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

}  // namespace

Win32MainWindow::Win32MainWindow(HINSTANCE instance, Win32Services services)
    : instance_(instance), services_(std::move(services)), voiceNames_(services_.settingsPath)
{
    const HDC screen = GetDC(nullptr);
    dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);

    WNDCLASSEXW windowClass = iconClass(kWindowClass, &Win32MainWindow::windowProcedure);
    // No CS_DBLCLKS: the second press of a double click is a press like any other.
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    RegisterClassExW(&windowClass);

    createApplicationWindow(services_.applicationTitle);
    font_ = createTextFont(-scaled(kFontPixels));
    startupShutdown_ = std::make_unique<StartupShutdown>(
        StartupServices{.midi = services_.midi,
                        .messages = services_.messages,
                        .pump = *this,
                        .settingsPath = services_.settingsPath,
                        .settingsReadPath = services_.settingsReadPath},
        WindowViews{*this, *this, *this});
    CreateWindowExW(0, kWindowClass, utf8ToWide(kWindowCaption).c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                    kDesignedBounds.left, kDesignedBounds.top, kDesignedBounds.width, kDesignedBounds.height,
                    application_, nullptr, instance_, this);
}

WNDCLASSEXW Win32MainWindow::iconClass(const wchar_t* name, WNDPROC procedure) const
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance_;
    windowClass.hIcon = static_cast<HICON>(
        LoadImageW(instance_, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    windowClass.hIconSm = static_cast<HICON>(
        LoadImageW(instance_, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    windowClass.lpszClassName = name;
    return windowClass;
}

void Win32MainWindow::createApplicationWindow(const std::wstring& title)
{
    const WNDCLASSEXW windowClass = iconClass(kApplicationClass, &Win32MainWindow::applicationProcedure);
    RegisterClassExW(&windowClass);
    application_ = CreateWindowExW(0, kApplicationClass, title.c_str(),
                                   WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX,
                                   GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0,
                                   nullptr, nullptr, instance_, nullptr);
    SetWindowLongPtrW(application_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

LRESULT CALLBACK Win32MainWindow::applicationProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && self->window_ != nullptr) {
        switch (message) {
        case WM_SYSCOMMAND:
            // Closing from the taskbar closes the main window, which may refuse.
            if ((wParam & 0xFFF0) == SC_CLOSE) {
                PostMessageW(self->window_, WM_CLOSE, 0, 0);
                return 0;
            }
            break;
        case WM_ACTIVATE:
            // The taskbar button activates this window; once it is restored,
            // the main window takes over.
            if (LOWORD(wParam) != WA_INACTIVE) {
                PostMessageW(window, kActivateMainWindow, 0, 0);
            }
            break;
        case kActivateMainWindow:
            if (!IsIconic(window) && IsWindowVisible(self->window_) && IsWindowEnabled(self->window_)) {
                SetForegroundWindow(self->window_);
                SetActiveWindow(self->window_);
            }
            return 0;
        default:
            break;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

Win32MainWindow::~Win32MainWindow()
{
    services_.midi.setDevicesChangedCallback({});
    if (deviceNotification_ != nullptr) {
        UnregisterDeviceNotification(deviceNotification_);
    }
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
    if (application_ != nullptr) {
        DestroyWindow(application_);
    }
    if (font_ != nullptr) {
        DeleteObject(font_);
    }
}

int Win32MainWindow::scaled(int pixels) const { return MulDiv(pixels, dpi_, kDesignDpi); }

LRESULT CALLBACK Win32MainWindow::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* self = static_cast<Win32MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return self != nullptr ? self->handleMessage(message, wParam, lParam)
                           : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT Win32MainWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (const auto handled = handleDeviceMessage(message, wParam)) {
        return *handled;
    }
    if (const auto handled = handleListMessage(message, wParam, lParam)) {
        return *handled;
    }
    switch (message) {
    case WM_CREATE:
        onCreate();
        return 0;
    case WM_CLOSE:
        close();
        return 0;
    case WM_DESTROY:
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        window_ = nullptr;
        if (application_ != nullptr) {
            DestroyWindow(std::exchange(application_, nullptr));
        }
        PostQuitMessage(0);
        return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_MINIMIZE && application_ != nullptr) {
            ShowWindow(application_, SW_MINIMIZE);
            return 0;
        }
        break;
    case WM_SETFOCUS:
        if (listTookFocus_) {
            SetFocus(deviceList_);
            return 0;
        }
        break;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
        onMousePress(message, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        return 0;
    case WM_MOUSEWHEEL:
        return 0;  // the wheel changes nothing here (wheelReachesControl)
    case WM_NOTIFY: {
        auto* asked = reinterpret_cast<NMTTDISPINFOW*>(lParam);
        if (asked->hdr.hwndFrom == toolTips_ && asked->hdr.code == TTN_GETDISPINFOW) {
            asked->lpszText = const_cast<wchar_t*>(toolTipText(static_cast<Control>(asked->hdr.idFrom)));
            return 0;
        }
        break;
    }
    case WM_CTLCOLORSTATIC: {
        const auto context = reinterpret_cast<HDC>(wParam);
        SetTextColor(context, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(context, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void Win32MainWindow::onCreate()
{
    createControls();
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kAudioInterfaces;
    deviceNotification_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    // The service tells on the window's own thread, from within a send:
    // the relist waits for the message loop.
    services_.midi.setDevicesChangedCallback(
        [window = window_] { PostMessageW(window, kDevicesChangedByService, 0, 0); });
    startupShutdown_->runStartup();
}

std::optional<LRESULT> Win32MainWindow::handleDeviceMessage(UINT message, WPARAM wParam)
{
    switch (message) {
    case WM_DEVICECHANGE:
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE || wParam == DBT_DEVNODES_CHANGED) {
            onDevicesChanged();
            SetTimer(window_, kRelistTimer, kRelistDelayMilliseconds, nullptr);
        }
        return TRUE;
    case WM_POWERBROADCAST:
        // WinMM handles may reach nothing after a sleep, and nothing says so.
        if (wParam == PBT_APMRESUMEAUTOMATIC) {
            startupShutdown_->port().deviceMayBeGone();
            onDevicesChanged();
        }
        return TRUE;
    case kDevicesChangedByService:
        // Not in a loop: a device failing every send is retried once a second.
        SetTimer(window_, kRelistTimer, kRelistDelayMilliseconds, nullptr);
        return 0;
    case WM_TIMER:
        if (wParam != kRelistTimer) {
            return std::nullopt;
        }
        // A switch under way would drop the relist: the timer comes again.
        if (!startupShutdown_->port().busy()) {
            KillTimer(window_, kRelistTimer);
            onDevicesChanged();
        }
        return 0;
    default:
        return std::nullopt;
    }
}

std::optional<LRESULT> Win32MainWindow::handleListMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) != kDeviceListId || reinterpret_cast<HWND>(lParam) != deviceList_) {
            return std::nullopt;
        }
        switch (HIWORD(wParam)) {
        case CBN_SETFOCUS: listTookFocus_ = true; break;
        case CBN_DROPDOWN: rules().relistDevices(); break;
        case CBN_CLOSEUP:
            if (std::exchange(relistWhenClosed_, false)) {
                rules().relistDevices();
            }
            break;
        case CBN_SELCHANGE: rules().devicePicked(); break;
        default: break;
        }
        return 0;
    case WM_MEASUREITEM: {
        auto& item = *reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        item.itemHeight = static_cast<UINT>(scaled(item.itemID == static_cast<UINT>(-1) ? kListFieldHeight : kListItemHeight));
        return TRUE;
    }
    case WM_DRAWITEM:
        if (wParam != kDeviceListId) {
            return std::nullopt;
        }
        drawListItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    default:
        return std::nullopt;
    }
}

// Drawn by the list itself, so its field can show the away device greyed.
void Win32MainWindow::drawListItem(const DRAWITEMSTRUCT& item)
{
    const bool entry = item.itemID != static_cast<UINT>(-1);
    const bool highlighted = entry && (item.itemState & ODS_SELECTED) != 0;
    std::wstring text = entry ? std::wstring{} : awayName_;
    if (entry) {
        const LRESULT length = SendMessageW(deviceList_, CB_GETLBTEXTLEN, item.itemID, 0);
        text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        if (length > 0) {
            text.resize(static_cast<std::size_t>(
                SendMessageW(deviceList_, CB_GETLBTEXT, item.itemID, reinterpret_cast<LPARAM>(text.data()))));
        }
    }
    RECT area = item.rcItem;
    FillRect(item.hDC, &area, GetSysColorBrush(highlighted ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, GetSysColor(!entry ? COLOR_GRAYTEXT : highlighted ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    area.left += scaled(2);
    DrawTextW(item.hDC, text.c_str(), static_cast<int>(text.size()), &area, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    if ((item.itemState & ODS_FOCUS) != 0) {
        DrawFocusRect(item.hDC, &item.rcItem);
    }
}

void Win32MainWindow::createControls()
{
    const auto create = [this](const wchar_t* className, Control control, DWORD style, int extraHeight = 0) {
        const ControlLayout& at = layoutOf(control);
        const int id = control == Control::DeviceList ? kDeviceListId : 0;
        const HWND created = CreateWindowExW(0, className, utf8ToWide(at.text).c_str(), WS_CHILD | style,
                                             scaled(at.left), scaled(at.top), scaled(at.width),
                                             scaled(at.height + extraHeight), window_,
                                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
        SendMessageW(created, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        return created;
    };
    for (int label = 0; label < kLabelCount; ++label) {
        labels_[static_cast<std::size_t>(label)] =
            create(L"STATIC", kControls[label].control, WS_VISIBLE | SS_LEFT | SS_NOPREFIX);
        setLabelText(kControls[label].control, utf8ToWide(kControls[label].text));
    }
    // Its creation height includes the drop-down's entries.
    deviceList_ = create(L"COMBOBOX", Control::DeviceList,
                         WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS,
                         kListVisibleEntries * kListItemHeight + 2);
    SendMessageW(deviceList_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), scaled(kListFieldHeight));
    SendMessageW(deviceList_, CB_SETITEMHEIGHT, 0, scaled(kListItemHeight));
    // The bank mode buttons are hidden; MSB is the mode in force.
    const HWND msb = create(L"BUTTON", Control::MsbButton, BS_AUTORADIOBUTTON | WS_TABSTOP | WS_GROUP);
    create(L"BUTTON", Control::LsbButton, BS_AUTORADIOBUTTON);
    SendMessageW(msb, BM_SETCHECK, BST_CHECKED, 0);
    createToolTips();
}

void Win32MainWindow::createToolTips()
{
    const INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&classes);
    toolTips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                                instance_, nullptr);
    SendMessageW(toolTips_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    // The labels leave the mouse to the window: each tool is its label's area.
    for (const Control label : kToolTipLabels) {
        TTTOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.uFlags = TTF_SUBCLASS;
        tool.hwnd = window_;
        tool.uId = static_cast<UINT_PTR>(label);
        tool.lpszText = LPSTR_TEXTCALLBACKW;
        SendMessageW(toolTips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        placeToolTip(label);
    }
}

void Win32MainWindow::placeToolTip(Control label)
{
    if (toolTips_ == nullptr ||
        std::find(std::begin(kToolTipLabels), std::end(kToolTipLabels), label) == std::end(kToolTipLabels)) {
        return;
    }
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = window_;
    tool.uId = static_cast<UINT_PTR>(label);
    GetWindowRect(labels_[static_cast<std::size_t>(label)], &tool.rect);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&tool.rect), 2);
    SendMessageW(toolTips_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
}

// Instrument files are read at the first tool tip; hints follow the device.
const wchar_t* Win32MainWindow::toolTipText(Control label)
{
    voiceNames_.load();
    const midi::VoiceSelection& selection = startupShutdown_->selection();
    const std::string device = startupShutdown_->port().chosenDeviceName();
    const VoiceHints hints =
        voiceNames_.describe(startupShutdown_->settingsStore(), device, wideToUtf8(systemToWide(device)),
                             selection.programNumber(), selection.bankNumber(), selection.channel() + 1);
    const bool bank = label == Control::BankCaption || label == Control::BankValue;
    toolTipText_ = utf8ToWide(bank ? hints.bank : hints.program);
    return toolTipText_.c_str();
}

void Win32MainWindow::setLabelText(Control label, const std::wstring& text)
{
    const HWND control = labels_[static_cast<std::size_t>(label)];
    SetWindowTextW(control, text.c_str());
    const HDC context = GetDC(control);
    const HGDIOBJ previous = SelectObject(context, font_);
    SIZE extent{};
    GetTextExtentPoint32W(context, text.c_str(), static_cast<int>(text.size()), &extent);
    SelectObject(context, previous);
    ReleaseDC(control, context);
    SetWindowPos(control, nullptr, 0, 0, extent.cx, std::max<LONG>(extent.cy, scaled(layoutOf(label).height)),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    placeToolTip(label);
    InvalidateRect(window_, nullptr, TRUE);
}

void Win32MainWindow::onDevicesChanged()
{
    if (listDropped()) {
        relistWhenClosed_ = true;
    } else {
        rules().relistDevices();
    }
}

int Win32MainWindow::run(int showCommand)
{
    if (window_ == nullptr) {
        return 1;
    }
    services_.messages.setOwner(window_);
    // The taskbar button appears with the window; a minimised launch minimises
    // the button's window, which keeps the main window hidden until restored.
    const bool minimised = showCommand == SW_MINIMIZE || showCommand == SW_SHOWMINIMIZED ||
                           showCommand == SW_SHOWMINNOACTIVE || showCommand == SW_FORCEMINIMIZE;
    ShowWindow(application_, SW_SHOWNA);
    ShowWindow(window_, minimised ? SW_SHOWNORMAL : showCommand);
    if (minimised) {
        ShowWindow(application_, SW_MINIMIZE);
    }
    UpdateWindow(window_);
    MSG message;
    BOOL got = 0;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        dispatch(message);
    }
    return got < 0 ? 1 : static_cast<int>(message.wParam);
}

void Win32MainWindow::dispatch(MSG& message)
{
    if (!preview(message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void Win32MainWindow::close()
{
    if (startupShutdown_->runShutdown()) {
        DestroyWindow(window_);
    }
}

void Win32MainWindow::showVoiceSelection(int programNumber, int bankNumber, int channelNumber)
{
    setLabelText(Control::ProgramValue, std::to_wstring(programNumber));
    setLabelText(Control::BankValue, std::to_wstring(bankNumber));
    setLabelText(Control::ChannelValue, std::to_wstring(channelNumber));
}

void Win32MainWindow::showDevices(const std::vector<std::string>& names)
{
    SendMessageW(deviceList_, CB_RESETCONTENT, 0, 0);
    for (const std::string& name : names) {
        const std::wstring shown = utf8ToWide(shownDeviceName(wideToUtf8(systemToWide(name))));
        SendMessageW(deviceList_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    }
}

int Win32MainWindow::selectedIndex() const
{
    return static_cast<int>(SendMessageW(deviceList_, CB_GETCURSEL, 0, 0));
}

void Win32MainWindow::selectIndex(int index)
{
    // CB_SETCURSEL sends no CBN_SELCHANGE: a selection by the program.
    SendMessageW(deviceList_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void Win32MainWindow::showAwayDevice(const std::string& name)
{
    awayName_ = utf8ToWide(shownDeviceName(wideToUtf8(systemToWide(name))));
    InvalidateRect(deviceList_, nullptr, TRUE);
}

void Win32MainWindow::sleepMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void Win32MainWindow::processPendingEvents()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        dispatch(message);
    }
}

OuterBounds Win32MainWindow::outerBounds() const
{
    RECT bounds{};
    if (IsIconic(window_) || IsZoomed(window_)) {
        // Where the window returns to, not the minimised or maximised spot.
        WINDOWPLACEMENT placement{};
        placement.length = sizeof placement;
        GetWindowPlacement(window_, &placement);
        bounds = placement.rcNormalPosition;
    } else {
        GetWindowRect(window_, &bounds);
    }
    return {bounds.left, bounds.top, bounds.right - bounds.left, bounds.bottom - bounds.top};
}

void Win32MainWindow::setOuterBounds(const OuterBounds& bounds)
{
    SetWindowPos(window_, nullptr, bounds.left, bounds.top, bounds.width, bounds.height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

OuterBounds Win32MainWindow::availableDesktop() const
{
    return {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
            GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

}  // namespace tavrelle::window
