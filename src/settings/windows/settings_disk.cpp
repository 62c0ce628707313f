// A save renames a new file over the old, so a failed save keeps it whole.
#include "settings/settings_disk.h"
#include "settings/windows/path_rules.h"
#include "settings/windows/wide_path.h"

#include <windows.h>

#include <string_view>
#include <utility>

namespace tavrelle::settings {
namespace {

constexpr DWORD kReadChunk = 64 * 1024;
constexpr int kTemporaryAttempts = 100;

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
    bool closeNow() { return CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)) != 0; }

private:
    HANDLE handle_;
};

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

FoundAtPath readAtPath(const std::string& path)
{
    if (!isAbsoluteWindowsPath(path)) {
        return {};
    }
    const std::wstring wide = widePath(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return {missing ? FoundAtPath::Nothing : FoundAtPath::Unknown, std::nullopt};
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {FoundAtPath::NotAFile, std::nullopt};
    }
    // Others may read along, but nobody may write while it is read.
    FileHandle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return {FoundAtPath::File, std::nullopt};
    }
    std::string bytes;
    std::string chunk(kReadChunk, '\0');
    for (DWORD got = 0;; bytes.append(chunk.data(), got)) {
        if (!ReadFile(file.get(), chunk.data(), kReadChunk, &got, nullptr)) {
            return {FoundAtPath::File, std::nullopt};
        }
        if (got == 0) {
            return {FoundAtPath::File, std::move(bytes)};
        }
    }
}

void SettingsFile::save() const
{
    if (!isAbsoluteWindowsPath(path_)) {
        throw cannotCreate(path_);
    }
    // Neither a folder nor a file the user marked read-only is replaced.
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
