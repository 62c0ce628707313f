#include "window/win32/message_box.h"
#include "window/win32/font.h"
#include "window/win32/text.h"
#include "window/window_rules.h"

#include <algorithm>
#include <vector>

namespace tavrelle::window {

namespace {

// The box's controls, as the system's own message box numbers them.
constexpr int kTextId = 0xFFFF;
constexpr int kIconId = 20;
// Sizes in pixels at 96 dots per inch.
constexpr int kMargin = 12;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;

struct BoxContent {
    std::wstring title;
    std::wstring text;
    std::vector<std::wstring> lines;
    HICON icon = nullptr;  // the system's, never destroyed
    HFONT font = nullptr;
    int lineHeight = 0;
};

// Japanese text may break between any two characters; other text breaks
// at blanks. A surrogate pair stays whole.
bool breakableBetween(wchar_t before, wchar_t after)
{
    if (after >= 0xDC00 && after <= 0xDFFF) {
        return false;
    }
    return before == L' ' || after == L' ' || before >= 0x2E80 || after >= 0x2E80;
}

// The lines as they fit `width` pixels in `dc`'s font: broken where a line
// may break, inside a word only when the word alone is wider than a line.
std::vector<std::wstring> wrapLines(HDC dc, const std::wstring& text, int width)
{
    std::vector<std::wstring> lines;
    std::size_t paragraphStart = 0;
    for (;;) {
        const std::size_t newline = text.find(L'\n', paragraphStart);
        std::wstring paragraph = text.substr(paragraphStart, newline - paragraphStart);
        if (!paragraph.empty() && paragraph.back() == L'\r') {
            paragraph.pop_back();
        }
        std::size_t start = 0;
        do {
            int fit = 0;
            SIZE size{};
            GetTextExtentExPointW(dc, paragraph.data() + start, static_cast<int>(paragraph.size() - start), width,
                                  &fit, nullptr, &size);
            std::size_t end = std::min(paragraph.size(), start + static_cast<std::size_t>(std::max(fit, 1)));
            if (end < paragraph.size()) {
                std::size_t cut = end;
                while (cut > start && !breakableBetween(paragraph[cut - 1], paragraph[cut])) {
                    --cut;
                }
                end = cut > start ? cut : end;
            }
            std::wstring line = paragraph.substr(start, end - start);
            line.erase(line.find_last_not_of(L' ') + 1);
            lines.push_back(std::move(line));
            start = paragraph.find_first_not_of(L' ', end);
        } while (start != std::wstring::npos && start < paragraph.size());
        if (newline == std::wstring::npos) {
            return lines;
        }
        paragraphStart = newline + 1;
    }
}

int textWidth(HDC dc, const std::wstring& text)
{
    SIZE size{};
    GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size);
    return size.cx;
}

// Wrapped at half the screen's width, and centred on the screen. The icon,
// if any, stands left of the text, as in the system's box.
void layOut(HWND box, BoxContent& content)
{
    const HWND textControl = GetDlgItem(box, kTextId);
    const HWND iconControl = GetDlgItem(box, kIconId);
    const HWND button = GetDlgItem(box, IDOK);
    const HDC dc = GetDC(box);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
    const auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
    const int margin = scaled(kMargin);
    const int iconWidth = content.icon != nullptr ? GetSystemMetrics(SM_CXICON) : 0;
    const int iconHeight = content.icon != nullptr ? GetSystemMetrics(SM_CYICON) : 0;
    const int textLeft = content.icon != nullptr ? margin + iconWidth + margin : margin;

    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(box, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(box, GWL_EXSTYLE)));
    const int frameWidth = frame.right - frame.left;
    const int frameHeight = frame.bottom - frame.top;
    const int widestClient = std::max(GetSystemMetrics(SM_CXSCREEN) / 2 - frameWidth, textLeft + margin + 1);

    const HGDIOBJ previous = SelectObject(dc, content.font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    content.lineHeight = metrics.tmHeight;
    content.lines = wrapLines(dc, content.text, widestClient - textLeft - margin);
    int widestLine = 0;
    for (const auto& line : content.lines) {
        widestLine = std::max(widestLine, textWidth(dc, line));
    }
    const int buttonWidth = std::max(scaled(kButtonWidth), textWidth(dc, L"OK") + 2 * margin);
    SelectObject(dc, previous);
    ReleaseDC(box, dc);

    // Room for the title beside the caption's buttons (a window manager may
    // add an icon and three, in a larger font), up to half the screen.
    NONCLIENTMETRICSW nonClient{};
    nonClient.cbSize = sizeof nonClient;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof nonClient, &nonClient, 0);
    const HFONT captionFont = CreateFontIndirectW(&nonClient.lfCaptionFont);
    const HDC screen = GetDC(nullptr);
    const HGDIOBJ screenPrevious = SelectObject(screen, captionFont);
    const int titleWidth = textWidth(screen, content.title) + 6 * GetSystemMetrics(SM_CXSIZE) + 2 * margin;
    SelectObject(screen, screenPrevious);
    ReleaseDC(nullptr, screen);
    DeleteObject(captionFont);

    const int clientWidth =
        std::min(std::max({textLeft + widestLine + margin, buttonWidth + 2 * margin, titleWidth}), widestClient);
    const int textHeight = content.lineHeight * static_cast<int>(content.lines.size());
    const int bodyHeight = std::max(textHeight, iconHeight);
    const int buttonHeight = scaled(kButtonHeight);
    const int clientHeight = margin + bodyHeight + margin + buttonHeight + margin;
    MoveWindow(textControl, textLeft, margin + (bodyHeight - textHeight) / 2, clientWidth - textLeft - margin,
               textHeight, FALSE);
    if (iconControl != nullptr) {
        MoveWindow(iconControl, margin, margin, iconWidth, iconHeight, FALSE);
    }
    MoveWindow(button, (clientWidth - buttonWidth) / 2, 2 * margin + bodyHeight, buttonWidth, buttonHeight, FALSE);

    RECT workArea{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const int width = clientWidth + frameWidth;
    const int height = clientHeight + frameHeight;
    SetWindowPos(box, nullptr, workArea.left + (workArea.right - workArea.left - width) / 2,
                 workArea.top + (workArea.bottom - workArea.top - height) / 2, width, height, SWP_NOZORDER);
}

INT_PTR CALLBACK boxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        auto& content = *reinterpret_cast<BoxContent*>(lParam);
        SetWindowLongPtrW(box, DWLP_USER, lParam);
        SetWindowTextW(box, content.title.c_str());
        // The text is drawn by the box itself, in the lines it wrapped; the
        // control still holds the whole text, as the system's box does.
        const HWND text = CreateWindowExW(0, L"STATIC", content.text.c_str(), WS_CHILD | WS_VISIBLE | SS_OWNERDRAW,
                                          0, 0, 0, 0, box, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTextId)),
                                          nullptr, nullptr);
        const HWND button = CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                                            0, 0, 0, 0, box, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)),
                                            nullptr, nullptr);
        if (content.icon != nullptr) {
            const HWND icon = CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | WS_VISIBLE | SS_ICON, 0, 0, 0, 0, box,
                                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIconId)), nullptr, nullptr);
            SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(content.icon), 0);
        }
        SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(content.font), FALSE);
        SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(content.font), FALSE);
        layOut(box, content);
        SetFocus(button);
        return FALSE;
    }
    case WM_DRAWITEM: {
        const auto& content = *reinterpret_cast<const BoxContent*>(GetWindowLongPtrW(box, DWLP_USER));
        const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_3DFACE));
        const HGDIOBJ previous = SelectObject(item.hDC, content.font);
        SetBkMode(item.hDC, TRANSPARENT);
        SetTextColor(item.hDC, GetSysColor(COLOR_WINDOWTEXT));
        int top = item.rcItem.top;
        for (const auto& line : content.lines) {
            TextOutW(item.hDC, item.rcItem.left, top, line.data(), static_cast<int>(line.size()));
            top += content.lineHeight;
        }
        SelectObject(item.hDC, previous);
        return TRUE;
    }
    case WM_COMMAND:
        // "OK", Enter (IDOK) and Esc or the close box (IDCANCEL) all dismiss it.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(box, IDOK);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

// A dialog with no controls of its own; the procedure makes them.
struct alignas(4) EmptyDialogTemplate {
    DLGTEMPLATE header;
    WORD menu = 0;
    WORD windowClass = 0;
    WORD title = 0;
};

}  // namespace

// Both boxes are the tool's own, drawn in the window's font: the system's
// box takes a face that may lack the Japanese glyphs.
void MessageBoxPresenter::show(const std::string& text, HICON icon)
{
    // A box of its own before the window shows; the window's box after.
    const HWND owner = owner_ != nullptr && IsWindowVisible(owner_) ? owner_ : nullptr;
    NONCLIENTMETRICSW nonClient{};
    nonClient.cbSize = sizeof nonClient;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof nonClient, &nonClient, 0);
    BoxContent content{title_, utf8ToWide(text), {}, icon, createTextFont(nonClient.lfMessageFont.lfHeight), 0};
    EmptyDialogTemplate dialog{};
    dialog.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFOREGROUND;
    DialogBoxIndirectParamW(GetModuleHandleW(nullptr), &dialog.header, owner, boxProcedure,
                            reinterpret_cast<LPARAM>(&content));
    DeleteObject(content.font);
}

void MessageBoxPresenter::showMessage(const std::string& text)
{
    show(text, nullptr);
}

void MessageBoxPresenter::showError(const std::string& text)
{
    MessageBeep(MB_ICONHAND);
    show(errorBoxText(text), LoadIconW(nullptr, IDI_HAND));
}

}  // namespace tavrelle::window
