// Reading the settings file from disk and replacing it atomically.
#include "settings/settings_file.h"
#include "settings/system_calls.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>

namespace tavrelle::settings {
namespace {

// Symbolic links followed before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinkHops = 40;
constexpr std::size_t kReadChunk = 64 * 1024;

SettingsError CannotOpen(const std::string& path)
{
    return SettingsError("ファイル " + path + " は開けません");
}

SettingsError CannotCreate(const std::string& path)
{
    return SettingsError("ファイル " + path + " を作成できません");
}

SettingsError WriteFailed()
{
    return SettingsError("ストリームへの書き込みエラー");
}

std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FileNameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links to the file that a save must replace, so that the
// link itself survives. Gives no value for a loop of links.
std::optional<std::string> FinalTarget(SystemCalls& sys, std::string path)
{
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat status {};
        if (sys.Lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return path;
        }
        char buffer[PATH_MAX];
        const ssize_t length = sys.Readlink(path.c_str(), buffer, sizeof buffer);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
            return std::nullopt;
        }
        std::string target(buffer, static_cast<std::size_t>(length));
        if (target.empty()) {
            return std::nullopt;
        }
        path = target.front() == '/' ? target : DirectoryOf(path) + "/" + target;
    }
    return std::nullopt;
}

// Closes a descriptor when it goes out of scope, whatever path is taken.
class Descriptor {
public:
    Descriptor(SystemCalls& sys, int fd) : sys_(sys), fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) {
            sys_.Close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded.
    bool CloseNow()
    {
        const int fd = fd_;
        fd_ = -1;
        return sys_.Close(fd) == 0;
    }

private:
    SystemCalls& sys_;
    int fd_;
};

bool WriteAll(SystemCalls& sys, int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = sys.Write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Creates a new file beside `target`; the name is hidden, and O_EXCL keeps a
// stale or foreign file of the same name from being reused.
int CreateTemporary(SystemCalls& sys, const std::string& target, std::string& temporaryPath)
{
    const std::string prefix = DirectoryOf(target) + "/." + FileNameOf(target).substr(0, 200) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporaryPath = prefix + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
        const int fd = sys.Open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Refuses to replace what the user could not have written to: a directory,
// a file without any write permission bit (even for root, who could write
// it anyway), a file this user may not write, or one that another program
// holds locked.
void CheckReplaceable(SystemCalls& sys, const std::string& target, const struct stat& status,
                      const std::string& path)
{
    if (S_ISDIR(status.st_mode)) {
        throw CannotCreate(path);
    }
    if (!S_ISREG(status.st_mode)) {
        return;
    }
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || sys.Access(target.c_str(), W_OK) != 0) {
        throw CannotCreate(path);
    }
    Descriptor old(sys, sys.Open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0));
    if (old.get() >= 0 && sys.Flock(old.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        throw CannotCreate(path);
    }
}

// A save that was killed part-way leaves its temporary file behind. The next
// good save removes those whose process is gone; a live one may be saving.
void RemoveAbandonedTemporaries(SystemCalls& sys, const std::string& target)
{
    const std::string prefix = "." + FileNameOf(target).substr(0, 200) + ".";
    std::error_code error;
    for (std::filesystem::directory_iterator entry(DirectoryOf(target), error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".tmp") != 0) {
            continue;
        }
        const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        const std::size_t dash = middle.find('-');
        if (dash == 0 || dash == std::string::npos ||
            middle.find_first_not_of("0123456789") != dash ||
            middle.find_first_not_of("0123456789", dash + 1) != std::string::npos || dash + 1 == middle.size() ||
            dash > 9) {
            continue;
        }
        const pid_t owner = static_cast<pid_t>(std::stol(middle.substr(0, dash)));
        if (owner != ::getpid() && ::kill(owner, 0) != 0 && errno == ESRCH) {
            sys.Unlink(entry->path().c_str());
        }
    }
}

void SyncDirectory(SystemCalls& sys, const std::string& directory)
{
    // The rename is done; a folder that cannot be synced (some file systems
    // refuse) leaves the new file in place, so this is not a failed save.
    Descriptor fd(sys, sys.Open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (fd.get() >= 0) {
        sys.Fsync(fd.get());
    }
}

}  // namespace

SettingsFile SettingsFile::open(const std::string& path)
{
    SystemCalls& sys = SystemCalls::Current();
    struct stat status {};
    if (sys.Stat(path.c_str(), &status) != 0) {
        // Only a certainly missing file is a first run; anything else may hide
        // a file with the user's settings that a later save would overwrite.
        if (errno == ENOENT || errno == ENOTDIR) {
            return SettingsFile(path);
        }
        throw CannotOpen(path);
    }
    if (!S_ISREG(status.st_mode)) {
        return SettingsFile(path);
    }

    Descriptor fd(sys, sys.Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0));
    if (fd.get() < 0) {
        throw CannotOpen(path);
    }
    if (sys.Flock(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        throw CannotOpen(path);
    }
    std::string bytes;
    if (sys.Fstat(fd.get(), &status) == 0 && status.st_size > 0) {
        bytes.reserve(static_cast<std::size_t>(status.st_size));
    }
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t got = sys.Read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw CannotOpen(path);
        }
        if (got == 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return Parse(std::move(bytes), path);
}

void SettingsFile::save() const
{
    SystemCalls& sys = SystemCalls::Current();
    const std::optional<std::string> target = FinalTarget(sys, path_);
    if (path_.empty() || !target) {
        throw CannotCreate(path_);
    }
    struct stat old {};
    const bool replacing = sys.Lstat(target->c_str(), &old) == 0;
    if (!replacing && errno != ENOENT) {
        throw CannotCreate(path_);
    }
    if (replacing) {
        CheckReplaceable(sys, *target, old, path_);
    }

    std::string temporaryPath;
    Descriptor fd(sys, CreateTemporary(sys, *target, temporaryPath));
    if (fd.get() < 0) {
        throw CannotCreate(path_);
    }
    if (replacing && S_ISREG(old.st_mode)) {
        // Best effort: the owner first, since changing it may clear mode bits.
        sys.Fchown(fd.get(), old.st_uid, old.st_gid);
        sys.Fchmod(fd.get(), old.st_mode & 07777);
    }
    const std::string bytes = toBytes();
    const bool written = WriteAll(sys, fd.get(), bytes) && sys.Fsync(fd.get()) == 0;
    if (!fd.CloseNow() || !written) {
        sys.Unlink(temporaryPath.c_str());
        throw WriteFailed();
    }
    if (sys.Rename(temporaryPath.c_str(), target->c_str()) != 0) {
        sys.Unlink(temporaryPath.c_str());
        throw CannotCreate(path_);
    }
    SyncDirectory(sys, DirectoryOf(*target));
    RemoveAbandonedTemporaries(sys, *target);
}

std::string settingsPathForExecutable(const std::string& executablePath)
{
    const std::size_t slash = executablePath.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = executablePath.rfind('.');
    if (dot == std::string::npos || dot < nameStart) {
        return executablePath + ".ini";
    }
    return executablePath.substr(0, dot) + ".ini";
}

std::string locateSettingsFile(const std::string& executablePath, const std::string& perUserConfigDir)
{
    SystemCalls& sys = SystemCalls::Current();
    const std::string beside = settingsPathForExecutable(executablePath);
    struct stat status {};
    if (sys.Stat(beside.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        return beside;
    }
    if (sys.Access(DirectoryOf(beside).c_str(), W_OK) == 0 || perUserConfigDir.empty()) {
        return beside;
    }
    // Creates each missing folder on the way; a failure shows up at the save.
    for (std::size_t slash = perUserConfigDir.find('/', 1); ; slash = perUserConfigDir.find('/', slash + 1)) {
        sys.Mkdir(perUserConfigDir.substr(0, slash).c_str(), 0700);
        if (slash == std::string::npos) {
            break;
        }
    }
    std::string directory = perUserConfigDir;
    if (directory.back() != '/') {
        directory += '/';
    }
    return directory + FileNameOf(beside);
}

}  // namespace tavrelle::settings
