// Replaceable, so that tests make one call fail (a full disk, an unreadable
// file) even as root, where permissions cannot, and hand in the environment,
// the executable's path and the user. Each behaves as the POSIX call does.
#pragma once

#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace tavrelle::settings {

class SystemCalls {
public:
    virtual ~SystemCalls() = default;

    virtual int openat(int folder, const char* path, int flags, mode_t mode);
    virtual int close(int fd);
    virtual ssize_t read(int fd, void* buffer, std::size_t size);
    virtual ssize_t pwrite(int fd, const void* buffer, std::size_t size, off_t offset);
    virtual int fsync(int fd);
    virtual int ftruncate(int fd, off_t length);
    virtual int fallocate(int fd, int mode, off_t offset, off_t length);
    virtual int flock(int fd, int operation);
    virtual int fstat(int fd, struct stat* status);
    virtual int fchmod(int fd, mode_t mode);
    virtual int fchown(int fd, uid_t owner, gid_t group);
    virtual int fstatat(int folder, const char* path, struct stat* status, int flags);
    virtual ssize_t readlinkat(int folder, const char* path, char* buffer, std::size_t size);
    virtual int faccessat(int folder, const char* path, int mode);
    virtual int renameat(int fromFolder, const char* from, int toFolder, const char* to);
    virtual int unlinkat(int folder, const char* path);
    virtual int mkdir(const char* path, mode_t mode);
    virtual const char* getenv(const char* name);
    virtual uid_t geteuid();
    virtual const passwd* getpwuid(uid_t user);

    static SystemCalls& current();
};

// Puts other calls in force for its lifetime. Only tests make one, on the
// thread that opens and saves.
class ScopedSystemCalls {
public:
    explicit ScopedSystemCalls(SystemCalls& calls);
    ~ScopedSystemCalls();
    ScopedSystemCalls(const ScopedSystemCalls&) = delete;
    ScopedSystemCalls& operator=(const ScopedSystemCalls&) = delete;

private:
    SystemCalls* previous_;
};

}  // namespace tavrelle::settings
