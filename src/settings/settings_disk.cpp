// Reading the settings file from disk and replacing it, atomically wherever
// the folder allows.
#include "settings/settings_file.h"
#include "settings/system_calls.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <optional>
#include <thread>

namespace tavrelle::settings {
namespace {

// Symbolic links followed before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinkHops = 40;
constexpr std::size_t kReadChunk = 64 * 1024;

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

std::string directoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links to the file that a save must replace, so that the
// link itself survives. Gives no value for a loop of links.
std::optional<std::string> finalTarget(SystemCalls& sys, std::string path)
{
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat status {};
        if (sys.lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return path;
        }
        char buffer[PATH_MAX];
        const ssize_t length = sys.readlink(path.c_str(), buffer, sizeof buffer);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
            return std::nullopt;
        }
        std::string target(buffer, static_cast<std::size_t>(length));
        if (target.empty()) {
            return std::nullopt;
        }
        path = target.front() == '/' ? target : directoryOf(path) + "/" + target;
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
            sys_.close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded.
    bool closeNow()
    {
        const int fd = fd_;
        fd_ = -1;
        return sys_.close(fd) == 0;
    }

private:
    SystemCalls& sys_;
    int fd_;
};

// Writes `bytes` from the start of the file.
bool writeAll(SystemCalls& sys, int fd, std::string_view bytes)
{
    off_t offset = 0;
    while (!bytes.empty()) {
        const ssize_t written = sys.pwrite(fd, bytes.data(), bytes.size(), offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return true;
}

// The whole file from a descriptor just opened; no value when a read fails.
std::optional<std::string> readAll(SystemCalls& sys, int fd)
{
    std::string bytes;
    struct stat status {};
    if (sys.fstat(fd, &status) == 0 && status.st_size > 0) {
        bytes.reserve(static_cast<std::size_t>(status.st_size));
    }
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t got = sys.read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return bytes;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
}

// Creates a new file beside `target`; the name is hidden, and O_EXCL keeps a
// stale or foreign file of the same name from being reused.
int createTemporary(SystemCalls& sys, const std::string& target, std::string& temporaryPath)
{
    const std::string prefix = directoryOf(target) + "/." + fileNameOf(target).substr(0, 200) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporaryPath = prefix + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
        const int fd = sys.open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Another copy of the program holds a shared lock only while it reads the
// file at start-up, so a lock that stays for a whole second is someone else's.
bool outwaitOtherLocks(SystemCalls& sys, int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (sys.flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            return true;  // no locks here, as on some network file systems
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Refuses to replace what the user could not have written to: a directory,
// a file without any write permission bit (even for root, who could write
// it anyway), a file this user may not write, or one that another program
// holds locked. A link is followed only to a regular file, so that a save
// never puts a file in place of the device or pipe it points to.
void checkReplaceable(SystemCalls& sys, const std::string& target, const struct stat& status, bool throughLink,
                      const std::string& path)
{
    if (S_ISDIR(status.st_mode) || (throughLink && !S_ISREG(status.st_mode))) {
        throw cannotCreate(path);
    }
    if (!S_ISREG(status.st_mode)) {
        return;
    }
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || sys.access(target.c_str(), W_OK) != 0) {
        throw cannotCreate(path);
    }
    Descriptor old(sys, sys.open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0));
    if (old.get() >= 0 && !outwaitOtherLocks(sys, old.get())) {
        throw cannotCreate(path);
    }
}

// Makes the file hold exactly `bytes`, overwriting what it held.
bool overwrite(SystemCalls& sys, int fd, std::string_view bytes)
{
    return writeAll(sys, fd, bytes) && sys.ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 &&
           sys.fsync(fd) == 0;
}

// For a file the user may write in a folder that takes no new file: not
// atomic, but the only save there is. The blocks for the new text are taken
// before the old text is touched, so a full disk fails the save with the
// file whole; a write that fails anyway (a size limit, an I/O error) puts the
// old text back into those blocks. A file system that cannot reserve blocks
// is not rewritten at all.
void rewriteInPlace(SystemCalls& sys, const std::string& target, std::string_view bytes, const std::string& path)
{
    Descriptor fd(sys, sys.open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0));
    if (fd.get() < 0 || !outwaitOtherLocks(sys, fd.get())) {
        throw cannotCreate(path);
    }
    const std::optional<std::string> old = readAll(sys, fd.get());
    if (!old) {
        throw cannotCreate(path);
    }
    const auto reserve = static_cast<off_t>(std::max(old->size(), bytes.size()));
    if (reserve > 0 && sys.fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, reserve) != 0) {
        if (errno == ENOSPC || errno == EDQUOT) {
            throw writeFailed();
        }
        throw cannotCreate(path);
    }
    if (!overwrite(sys, fd.get(), bytes)) {
        overwrite(sys, fd.get(), *old);
        fd.closeNow();
        throw writeFailed();
    }
    if (!fd.closeNow()) {
        throw writeFailed();
    }
}

// A save that was killed part-way leaves its temporary file behind. The next
// good save removes those whose process is gone; a live one may be saving.
void removeAbandonedTemporaries(SystemCalls& sys, const std::string& target)
{
    const std::string prefix = "." + fileNameOf(target).substr(0, 200) + ".";
    std::error_code error;
    for (std::filesystem::directory_iterator entry(directoryOf(target), error), end; !error && entry != end;
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
            sys.unlink(entry->path().c_str());
        }
    }
}

void syncDirectory(SystemCalls& sys, const std::string& directory)
{
    // The rename is done; a folder that cannot be synced (some file systems
    // refuse) leaves the new file in place, so this is not a failed save.
    Descriptor fd(sys, sys.open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (fd.get() >= 0) {
        sys.fsync(fd.get());
    }
}

}  // namespace

SettingsFile SettingsFile::open(const std::string& readPath, const std::string& savePath)
{
    // Relative to wherever the program was started, it cannot mean the user's file.
    if (!readPath.starts_with('/')) {
        return SettingsFile(savePath);
    }
    SystemCalls& sys = SystemCalls::current();
    struct stat status {};
    if (sys.stat(readPath.c_str(), &status) != 0) {
        // Only a certainly missing file is a first run; anything else may hide
        // a file with the user's settings that a later save would overwrite.
        if (errno == ENOENT || errno == ENOTDIR) {
            return SettingsFile(savePath);
        }
        throw cannotOpen(readPath);
    }
    if (!S_ISREG(status.st_mode)) {
        return SettingsFile(savePath);
    }

    Descriptor fd(sys, sys.open(readPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0));
    if (fd.get() < 0) {
        throw cannotOpen(readPath);
    }
    if (sys.flock(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        throw cannotOpen(readPath);
    }
    const std::optional<std::string> bytes = readAll(sys, fd.get());
    if (!bytes) {
        throw cannotOpen(readPath);
    }
    return fromBytes(*bytes, savePath);
}

void SettingsFile::save() const
{
    SystemCalls& sys = SystemCalls::current();
    // A relative path would put the file wherever the program was started.
    const std::optional<std::string> target = path_.starts_with('/') ? finalTarget(sys, path_) : std::nullopt;
    if (!target) {
        throw cannotCreate(path_);
    }
    struct stat old {};
    const bool replacing = sys.lstat(target->c_str(), &old) == 0;
    if (!replacing && errno != ENOENT) {
        throw cannotCreate(path_);
    }
    if (replacing) {
        checkReplaceable(sys, *target, old, *target != path_, path_);
    }

    const std::string bytes = toBytes();
    std::string temporaryPath;
    Descriptor fd(sys, createTemporary(sys, *target, temporaryPath));
    if (fd.get() < 0) {
        if (replacing && S_ISREG(old.st_mode) && (errno == EACCES || errno == EPERM)) {
            rewriteInPlace(sys, *target, bytes, path_);
            return;
        }
        throw cannotCreate(path_);
    }
    if (replacing && S_ISREG(old.st_mode)) {
        // Best effort: the owner first, since changing it may clear mode bits.
        sys.fchown(fd.get(), old.st_uid, old.st_gid);
        sys.fchmod(fd.get(), old.st_mode & 07777);
    }
    const bool written = writeAll(sys, fd.get(), bytes) && sys.fsync(fd.get()) == 0;
    if (!fd.closeNow() || !written) {
        sys.unlink(temporaryPath.c_str());
        throw writeFailed();
    }
    if (sys.rename(temporaryPath.c_str(), target->c_str()) != 0) {
        sys.unlink(temporaryPath.c_str());
        throw cannotCreate(path_);
    }
    syncDirectory(sys, directoryOf(*target));
    removeAbandonedTemporaries(sys, *target);
}

}  // namespace tavrelle::settings
