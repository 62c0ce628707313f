// Where the settings file lives on Windows: beside the executable, or, for a
// copy in a folder the user may not write to (such as one under Program
// Files), in the user's application-data folder.
#include "settings/settings_location.h"
#include "settings/windows/ini_path.h"

#include <windows.h>
#include <shlobj.h>

namespace tavrelle::settings {
namespace {

constexpr const char* kPerUserFolder = "\\Tavrelle";
constexpr const char* kPerUserFile = "\\tavrelle.ini";

std::string executablePath()
{
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(buffer, length) : std::string();
}

// Whether a new file can be made in the folder of `path`, which is what the
// save does, found out by making one that disappears when it is closed.
bool folderTakesNewFiles(const std::string& path)
{
    const std::string probe = path + "." + std::to_string(GetCurrentProcessId()) + ".probe";
    const HANDLE handle = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

bool isRegularFile(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

std::string settingsPathForExecutable(const std::string& executablePath)
{
    return iniPathForExecutable(executablePath, [](unsigned char byte) { return IsDBCSLeadByte(byte) != 0; });
}

SettingsLocation locateSettings()
{
    const std::string executable = executablePath();
    const std::string beside = executable.empty() ? std::string() : settingsPathForExecutable(executable);
    if (!beside.empty() && folderTakesNewFiles(beside)) {
        return {beside, beside};
    }
    char appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, appData))) {
        // Nowhere to save: the file beside the program is still read, and the
        // save reports that it cannot be written.
        return {beside, beside};
    }
    const std::string folder = appData + std::string(kPerUserFolder);
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string perUser = folder + kPerUserFile;
    // A file beside the program gives a new user's first values; it is only read.
    if (!isRegularFile(perUser) && !beside.empty() && isRegularFile(beside)) {
        return {beside, perUser};
    }
    return {perUser, perUser};
}

}  // namespace tavrelle::settings
