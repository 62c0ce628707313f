// A copy in a folder that takes no new file (under Program Files) keeps its
// settings in the user's application-data folder.
#include "settings/settings_location.h"
#include "settings/windows/path_rules.h"
#include "settings/windows/wide_path.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

namespace tavrelle::settings {
namespace {

constexpr const char* kPerUserFolder = "\\Tavrelle";
constexpr const char* kPerUserFile = "\\tavrelle.ini";

// The call cuts the path to the buffer and says so only by filling it.
std::string executablePath()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return wideToUtf8(std::wstring_view(buffer.data(), length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Found out by making a file, as the save does, that goes when it is closed.
bool folderTakesNewFiles(const std::string& path)
{
    const std::wstring probe = widePath(path + "." + std::to_string(GetCurrentProcessId()) + ".probe");
    const HANDLE handle = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

bool isRegularFile(const std::string& path)
{
    const DWORD attributes = GetFileAttributesW(widePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

std::string settingsPathForExecutable(const std::string& executablePath)
{
    return iniPathForExecutable(executablePath);
}

SettingsLocation locateSettings()
{
    const std::string executable = executablePath();
    const std::string beside = executable.empty() ? std::string() : settingsPathForExecutable(executable);
    if (!beside.empty() && folderTakesNewFiles(beside)) {
        return {beside, beside};
    }
    PWSTR appData = nullptr;
    const HRESULT found = SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_CREATE, nullptr, &appData);
    const std::string appDataPath = SUCCEEDED(found) ? wideToUtf8(appData) : std::string();
    CoTaskMemFree(appData);
    if (appDataPath.empty()) {
        // Nowhere to save: the file beside is still read; the save reports it.
        return {beside, beside};
    }
    const std::string folder = appDataPath + kPerUserFolder;
    CreateDirectoryW(widePath(folder).c_str(), nullptr);
    const std::string perUser = folder + kPerUserFile;
    // A file beside the program gives a new user's first values; it is only read.
    if (!isRegularFile(perUser) && !beside.empty() && isRegularFile(beside)) {
        return {beside, perUser};
    }
    return {perUser, perUser};
}

}  // namespace tavrelle::settings
