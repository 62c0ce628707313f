#include "window/win32/font.h"
#include "window/win32/text.h"
#include "window/window_rules.h"

#include <algorithm>
#include <string>
#include <vector>

namespace tavrelle::window {

namespace {

struct Face {
    std::wstring name;
    BYTE charset = DEFAULT_CHARSET;
};

// After the laid-out face: its English name (a system that is not Japanese
// lists it so), then faces of Windows' editions and of Wine's hosts that
// hold Latin and Japanese glyphs alike.
std::vector<std::wstring> candidates()
{
    return {utf8ToWide(kFontFace), L"MS PGothic",   L"Yu Gothic UI",      L"Meiryo UI",    L"MS UI Gothic",
            L"IPAPGothic",         L"IPA Pゴシック", L"Noto Sans CJK JP", L"VL PGothic", L"TakaoPGothic"};
}

// The faces that cover Japanese: each face is listed once for each
// character set it holds.
int CALLBACK collectJapanese(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM faces)
{
    if (font->lfCharSet == SHIFTJIS_CHARSET && font->lfFaceName[0] != L'@') {
        reinterpret_cast<std::vector<std::wstring>*>(faces)->emplace_back(font->lfFaceName);
    }
    return 1;
}

Face pickFace()
{
    std::vector<std::wstring> japanese;
    LOGFONTW all{};
    all.lfCharSet = DEFAULT_CHARSET;
    const HDC screen = GetDC(nullptr);
    EnumFontFamiliesExW(screen, &all, collectJapanese, reinterpret_cast<LPARAM>(&japanese), 0);
    ReleaseDC(nullptr, screen);
    for (const auto& wanted : candidates()) {
        const auto found = std::find_if(japanese.begin(), japanese.end(), [&wanted](const std::wstring& face) {
            return CompareStringOrdinal(face.c_str(), -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL;
        });
        if (found != japanese.end()) {
            return {*found, SHIFTJIS_CHARSET};
        }
    }
    NONCLIENTMETRICSW nonClient{};
    nonClient.cbSize = sizeof nonClient;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof nonClient, &nonClient, 0);
    return {nonClient.lfMessageFont.lfFaceName, DEFAULT_CHARSET};
}

}  // namespace

HFONT createTextFont(LONG height)
{
    static const Face face = pickFace();
    LOGFONTW font{};
    font.lfHeight = height;
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = face.charset;
    font.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
    face.name.copy(font.lfFaceName, LF_FACESIZE - 1);
    return CreateFontIndirectW(&font);
}

}  // namespace tavrelle::window
