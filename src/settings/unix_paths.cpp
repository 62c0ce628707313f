#include "settings/unix_paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace tavrelle::settings {
namespace {

// Links followed before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinkHops = 40;

bool followsLink(SystemCalls& sys, int folder, const struct stat& link)
{
    struct stat status {};
    if (sys.fstat(folder, &status) != 0) {
        return false;
    }
    const bool sharedSticky = (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
    return !sharedSticky || link.st_uid == sys.geteuid() || link.st_uid == status.st_uid;
}

}  // namespace

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

PathEnd findPathEnd(SystemCalls& sys, const std::string& path)
{
    PathEnd end;
    end.folder = Descriptor(sys, sys.openat(AT_FDCWD, folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    end.name = fileNameOf(path);
    for (int hop = 0; end.folder.get() >= 0 && hop < kMaxLinkHops; ++hop) {
        if (sys.fstatat(end.folder.get(), end.name.c_str(), &end.status, AT_SYMLINK_NOFOLLOW) != 0) {
            end.outcome = errno == ENOENT ? PathEnd::Reached : PathEnd::Failed;
            return end;
        }
        if (!S_ISLNK(end.status.st_mode)) {
            end.exists = true;
            end.outcome = PathEnd::Reached;
            return end;
        }
        if (!followsLink(sys, end.folder.get(), end.status)) {
            end.outcome = PathEnd::ForeignLink;
            return end;
        }
        char buffer[PATH_MAX];
        const ssize_t length = sys.readlinkat(end.folder.get(), end.name.c_str(), buffer, sizeof buffer);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
            errno = length < 0 ? errno : ENAMETOOLONG;
            return end;
        }
        const std::string target(buffer, static_cast<std::size_t>(length));
        end.throughLink = true;
        end.name = fileNameOf(target);
        if (target.find('/') != std::string::npos) {
            const int folder =
                sys.openat(end.folder.get(), folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
            const int error = errno;
            end.folder = Descriptor(sys, folder);
            errno = error;
        }
    }
    if (end.folder.get() >= 0) {
        errno = ELOOP;
    }
    return end;
}

bool mayReplace(SystemCalls& sys, const PathEnd& end)
{
    if (!end.exists) {
        return true;
    }
    if (S_ISDIR(end.status.st_mode) || (end.throughLink && !S_ISREG(end.status.st_mode))) {
        return false;
    }
    return !S_ISREG(end.status.st_mode) || ((end.status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
                                            sys.faccessat(end.folder.get(), end.name.c_str(), W_OK) == 0);
}

}  // namespace tavrelle::settings
