#include "settings/system_calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tavrelle::settings {
namespace {

SystemCalls realCalls;
SystemCalls* currentCalls = &realCalls;

}  // namespace

int SystemCalls::openat(int folder, const char* path, int flags, mode_t mode)
{
    return ::openat(folder, path, flags, mode);
}
int SystemCalls::close(int fd) { return ::close(fd); }
ssize_t SystemCalls::read(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }
ssize_t SystemCalls::pwrite(int fd, const void* buffer, std::size_t size, off_t offset)
{
    return ::pwrite(fd, buffer, size, offset);
}
int SystemCalls::fsync(int fd) { return ::fsync(fd); }
int SystemCalls::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int SystemCalls::fallocate(int fd, int mode, off_t offset, off_t length) { return ::fallocate(fd, mode, offset, length); }
int SystemCalls::flock(int fd, int operation) { return ::flock(fd, operation); }
int SystemCalls::fstat(int fd, struct stat* status) { return ::fstat(fd, status); }
int SystemCalls::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int SystemCalls::fchown(int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }
int SystemCalls::fstatat(int folder, const char* path, struct stat* status, int flags)
{
    return ::fstatat(folder, path, status, flags);
}
ssize_t SystemCalls::readlinkat(int folder, const char* path, char* buffer, std::size_t size)
{
    return ::readlinkat(folder, path, buffer, size);
}
int SystemCalls::faccessat(int folder, const char* path, int mode) { return ::faccessat(folder, path, mode, 0); }
int SystemCalls::renameat(int fromFolder, const char* from, int toFolder, const char* to)
{
    return ::renameat(fromFolder, from, toFolder, to);
}
int SystemCalls::unlinkat(int folder, const char* path) { return ::unlinkat(folder, path, 0); }
int SystemCalls::mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
const char* SystemCalls::getenv(const char* name) { return std::getenv(name); }
uid_t SystemCalls::geteuid() { return ::geteuid(); }
const passwd* SystemCalls::getpwuid(uid_t user) { return ::getpwuid(user); }

SystemCalls& SystemCalls::current() { return *currentCalls; }

ScopedSystemCalls::ScopedSystemCalls(SystemCalls& calls) : previous_(currentCalls) { currentCalls = &calls; }
ScopedSystemCalls::~ScopedSystemCalls() { currentCalls = previous_; }

}  // namespace tavrelle::settings
