// Reading the settings file from disk and replacing it through a temporary
// file in the same folder, so that a failed save keeps the old file. Paths
// are UTF-8 and reach the system as UTF-16; the file's bytes are untouched.
#include "settings/settings_file.h"
#include "settings/windows/path_rules.h"
#include "settings/windows/wide_path.h"

#include <windows.h>

#include <string_view>
#include <utility>

namespace tavrelle::settings {
namespace {

constexpr DWORD kReadChunk = 64 * 1024;
constexpr int kTemporaryAttempts = 100;

SettingsError cannotOpen(const std::string& path)
{
    return SettingsError("ファイル " + path + " は開けません");
}

SettingsError cannotCreate(const std::string& path)
{
    return SettingsError("ファイル " + path + " を作成できません");
}

SettingsError writeFailed()
{
    return SettingsError("ストリームへの書き込みエラー");
}

// Closes a file handle when it goes out of scope, whatever path is taken.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle()
    {
        if (valid()) {
            CloseHandle(handle_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    // Closes now and reports whether the close succeeded.
    bool closeNow() { return CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)) != 0; }

private:
    HANDLE handle_;
};

// A new file beside `target`, never one that exists already.
HANDLE createTemporary(const std::wstring& target, std::wstring& temporaryPath)
{
    const std::wstring prefix = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-";
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        temporaryPath = prefix + std::to_wstring(attempt) + L".tmp";
        const HANDLE handle =
            CreateFileW(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            return handle;
        }
    }
    return INVALID_HANDLE_VALUE;
}

bool writeAll(HANDLE file, std::string_view bytes)
{
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = bytes.size() > kReadChunk ? kReadChunk : static_cast<DWORD>(bytes.size());
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

SettingsFile SettingsFile::open(const std::string& readPath, const std::string& savePath)
{
    // Relative to wherever the program was started, it cannot mean the user's file.
    if (!isAbsoluteWindowsPath(readPath)) {
        return SettingsFile(savePath);
    }
    const std::wstring path = widePath(readPath);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Only a certainly missing file is a first run; anything else may hide
        // a file with the user's settings that a later save would overwrite.
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return SettingsFile(savePath);
        }
        throw cannotOpen(readPath);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return SettingsFile(savePath);
    }
    // Others may read along, but nobody may write while it is read.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        throw cannotOpen(readPath);
    }
    std::string bytes;
    std::string chunk(kReadChunk, '\0');
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk.data(), kReadChunk, &got, nullptr)) {
            throw cannotOpen(readPath);
        }
        if (got == 0) {
            break;
        }
        bytes.append(chunk.data(), got);
    }
    return fromBytes(bytes, savePath);
}

void SettingsFile::save() const
{
    if (!isAbsoluteWindowsPath(path_)) {
        throw cannotCreate(path_);
    }
    // A folder of that name, or a file the user marked read-only, is not
    // replaced.
    const std::wstring path = widePath(path_);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        throw cannotCreate(path_);
    }

    const std::string bytes = toBytes();
    std::wstring temporaryPath;
    FileHandle file(createTemporary(path, temporaryPath));
    if (!file.valid()) {
        throw cannotCreate(path_);
    }
    const bool written = writeAll(file.get(), bytes) && FlushFileBuffers(file.get());
    if (!file.closeNow() || !written) {
        DeleteFileW(temporaryPath.c_str());
        throw writeFailed();
    }
    // Fails while another program holds the old file open.
    if (!MoveFileExW(temporaryPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporaryPath.c_str());
        throw cannotCreate(path_);
    }
}

}  // namespace tavrelle::settings
