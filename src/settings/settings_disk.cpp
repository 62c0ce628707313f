// A save renames a new file over the old where the folder takes new files.
#include "settings/settings_disk.h"
#include "settings/unix_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace tavrelle::settings {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kOpenExisting = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

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

std::string temporaryPrefix(const std::string& name) { return "." + name.substr(0, 200) + "."; }

// A hidden new file beside the target; O_EXCL keeps a stale or foreign file
// of the same name from being reused.
Descriptor createTemporary(SystemCalls& sys, const PathEnd& end, std::string& temporaryName)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporaryName = temporaryPrefix(end.name) + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
        Descriptor fd(sys, sys.openat(end.folder.get(), temporaryName.c_str(),
                                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
        if (fd.get() >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return Descriptor(sys, -1);
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

void checkReplaceable(SystemCalls& sys, const PathEnd& end, const std::string& path)
{
    if (!mayReplace(sys, end)) {
        throw cannotCreate(path);
    }
    if (end.exists && S_ISREG(end.status.st_mode)) {
        Descriptor old(sys, sys.openat(end.folder.get(), end.name.c_str(), O_RDONLY | kOpenExisting, 0));
        if (old.get() >= 0 && !outwaitOtherLocks(sys, old.get())) {
            throw cannotCreate(path);
        }
    }
}

bool overwrite(SystemCalls& sys, int fd, std::string_view bytes)
{
    return writeAll(sys, fd, bytes) && sys.ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 &&
           sys.fsync(fd) == 0;
}

// Where the folder takes no new file. The new text's blocks are taken first,
// so a full disk fails with the file whole; a failed write puts the old back.
void rewriteInPlace(SystemCalls& sys, const PathEnd& end, std::string_view bytes, const std::string& path)
{
    Descriptor fd(sys, sys.openat(end.folder.get(), end.name.c_str(), O_RDWR | kOpenExisting, 0));
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

std::optional<pid_t> temporaryOwner(std::string_view name, std::string_view prefix)
{
    if (!name.starts_with(prefix) || !name.ends_with(".tmp")) {
        return std::nullopt;
    }
    const std::string_view middle = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    const std::size_t dash = middle.find('-');
    const auto digits = [](std::string_view text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (dash == std::string_view::npos || dash > 9 || !digits(middle.substr(0, dash)) ||
        !digits(middle.substr(dash + 1))) {
        return std::nullopt;
    }
    return static_cast<pid_t>(std::stol(std::string(middle.substr(0, dash))));
}

// Left by a save that was killed part-way; a live process may be saving.
void removeAbandonedTemporaries(SystemCalls& sys, const PathEnd& end)
{
    const int listing = ::dup(end.folder.get());
    DIR* folder = listing < 0 ? nullptr : ::fdopendir(listing);
    if (folder == nullptr) {
        if (listing >= 0) {
            ::close(listing);
        }
        return;
    }
    const std::string prefix = temporaryPrefix(end.name);
    while (const dirent* entry = ::readdir(folder)) {
        const std::optional<pid_t> owner = temporaryOwner(entry->d_name, prefix);
        if (owner && *owner != ::getpid() && ::kill(*owner, 0) != 0 && errno == ESRCH) {
            sys.unlinkat(end.folder.get(), entry->d_name);
        }
    }
    ::closedir(folder);
}

}  // namespace

FoundAtPath readAtPath(const std::string& path)
{
    if (!path.starts_with('/')) {
        return {};
    }
    SystemCalls& sys = SystemCalls::current();
    const PathEnd end = findPathEnd(sys, path);
    if (end.outcome != PathEnd::Reached) {
        const bool missing = end.outcome == PathEnd::Failed && (errno == ENOENT || errno == ENOTDIR);
        return {missing ? FoundAtPath::Nothing : FoundAtPath::Unknown, std::nullopt};
    }
    if (!end.exists) {
        return {};
    }
    if (!S_ISREG(end.status.st_mode)) {
        return {FoundAtPath::NotAFile, std::nullopt};
    }
    Descriptor fd(sys, sys.openat(end.folder.get(), end.name.c_str(), O_RDONLY | kOpenExisting, 0));
    if (fd.get() < 0 || (sys.flock(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)) {
        return {FoundAtPath::File, std::nullopt};
    }
    return {FoundAtPath::File, readAll(sys, fd.get())};
}

void SettingsFile::save() const
{
    SystemCalls& sys = SystemCalls::current();
    // A relative path would put the file wherever the program was started.
    const PathEnd end = path_.starts_with('/') ? findPathEnd(sys, path_) : PathEnd{};
    if (end.outcome == PathEnd::ForeignLink) {
        // As for a file beside the program that this user may not replace.
        const std::string perUser = perUserSettingsPath(sys);
        if (perUser == path_) {
            throw cannotCreate(path_);
        }
        SettingsFile copy(*this);
        copy.path_ = perUser;
        copy.save();
        return;
    }
    if (end.outcome != PathEnd::Reached) {
        throw cannotCreate(path_);
    }
    checkReplaceable(sys, end, path_);

    const std::string bytes = toBytes();
    const bool replacing = end.exists && S_ISREG(end.status.st_mode);
    std::string temporaryName;
    Descriptor fd = createTemporary(sys, end, temporaryName);
    if (fd.get() < 0) {
        if (replacing && (errno == EACCES || errno == EPERM)) {
            rewriteInPlace(sys, end, bytes, path_);
            return;
        }
        throw cannotCreate(path_);
    }
    if (replacing) {
        // Best effort: the owner first, since changing it may clear mode bits.
        sys.fchown(fd.get(), end.status.st_uid, end.status.st_gid);
        sys.fchmod(fd.get(), end.status.st_mode & 07777);
    }
    const bool written = writeAll(sys, fd.get(), bytes) && sys.fsync(fd.get()) == 0;
    if (!fd.closeNow() || !written) {
        sys.unlinkat(end.folder.get(), temporaryName.c_str());
        throw writeFailed();
    }
    if (sys.renameat(end.folder.get(), temporaryName.c_str(), end.folder.get(), end.name.c_str()) != 0) {
        sys.unlinkat(end.folder.get(), temporaryName.c_str());
        throw cannotCreate(path_);
    }
    // Renamed already: a folder that cannot be synced is no failed save.
    sys.fsync(end.folder.get());
    removeAbandonedTemporaries(sys, end);
}

}  // namespace tavrelle::settings
