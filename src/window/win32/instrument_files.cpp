#include "settings/windows/wide_path.h"
#include "window/instrument_definitions.h"

#include <windows.h>

namespace tavrelle::window {

std::vector<std::string> definitionFilesBeside(const std::string& settingsPath)
{
    const std::size_t separator = settingsPath.find_last_of("\\/");
    if (separator == std::string::npos) {
        return {};
    }
    const std::string folder = settingsPath.substr(0, separator + 1);
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(settings::widePath(folder + "*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    std::vector<std::string> files;
    if (search == INVALID_HANDLE_VALUE) {
        return files;
    }
    do {
        const std::string name = settings::wideToUtf8(found.cFileName);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && isDefinitionFileName(name)) {
            files.push_back(folder + name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return files;
}

std::optional<std::string> readDefinitionFile(const std::string& path, std::size_t largest)
{
    const HANDLE file = CreateFileW(settings::widePath(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    std::optional<std::string> bytes;
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) &&
        static_cast<unsigned long long>(size.QuadPart) <= largest) {
        // A byte beyond the size shows a file that grew meanwhile.
        bytes.emplace(static_cast<std::size_t>(size.QuadPart) + 1, '\0');
        std::size_t got = 0;
        DWORD now = 0;
        bool read = true;
        while (got < bytes->size()) {
            read = ReadFile(file, bytes->data() + got, static_cast<DWORD>(bytes->size() - got), &now, nullptr);
            if (!read || now == 0) {
                break;
            }
            got += now;
        }
        if (!read || got > largest) {
            bytes.reset();
        } else {
            bytes->resize(got);
        }
    }
    CloseHandle(file);
    return bytes;
}

}  // namespace tavrelle::window
