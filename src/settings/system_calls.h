// The file-system calls that opening and saving the settings file make.
//
// They go through one replaceable object so that tests can make a single call
// fail (a full disk, an unreadable file) even when they run as root, where
// permissions alone cannot produce those failures. Each method behaves like
// the POSIX call of the same name: -1 and errno on failure.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace tavrelle::settings {

class SystemCalls {
public:
    virtual ~SystemCalls() = default;

    virtual int Open(const char* path, int flags, mode_t mode);
    virtual int Close(int fd);
    virtual ssize_t Read(int fd, void* buffer, std::size_t size);
    virtual ssize_t Write(int fd, const void* buffer, std::size_t size);
    virtual int Fsync(int fd);
    virtual int Flock(int fd, int operation);
    virtual int Fstat(int fd, struct stat* status);
    virtual int Fchmod(int fd, mode_t mode);
    virtual int Fchown(int fd, uid_t owner, gid_t group);
    virtual int Stat(const char* path, struct stat* status);
    virtual int Lstat(const char* path, struct stat* status);
    virtual ssize_t Readlink(const char* path, char* buffer, std::size_t size);
    virtual int Access(const char* path, int mode);
    virtual int Rename(const char* from, const char* to);
    virtual int Unlink(const char* path);
    virtual int Mkdir(const char* path, mode_t mode);

    // The calls in force: the real ones unless a ScopedSystemCalls is alive.
    static SystemCalls& Current();
};

// Puts other calls in force for its lifetime and restores the previous ones
// afterwards. The program has one thread, so no locking is needed.
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
