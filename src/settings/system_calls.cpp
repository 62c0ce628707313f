#include "settings/system_calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

namespace tavrelle::settings {
namespace {

SystemCalls realCalls;
SystemCalls* currentCalls = &realCalls;

}  // namespace

int SystemCalls::Open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int SystemCalls::Close(int fd) { return ::close(fd); }
ssize_t SystemCalls::Read(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }
ssize_t SystemCalls::Write(int fd, const void* buffer, std::size_t size) { return ::write(fd, buffer, size); }
int SystemCalls::Fsync(int fd) { return ::fsync(fd); }
int SystemCalls::Flock(int fd, int operation) { return ::flock(fd, operation); }
int SystemCalls::Fstat(int fd, struct stat* status) { return ::fstat(fd, status); }
int SystemCalls::Fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int SystemCalls::Fchown(int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }
int SystemCalls::Stat(const char* path, struct stat* status) { return ::stat(path, status); }
int SystemCalls::Lstat(const char* path, struct stat* status) { return ::lstat(path, status); }
ssize_t SystemCalls::Readlink(const char* path, char* buffer, std::size_t size) { return ::readlink(path, buffer, size); }
int SystemCalls::Access(const char* path, int mode) { return ::access(path, mode); }
int SystemCalls::Rename(const char* from, const char* to) { return ::rename(from, to); }
int SystemCalls::Unlink(const char* path) { return ::unlink(path); }
int SystemCalls::Mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }

SystemCalls& SystemCalls::Current() { return *currentCalls; }

ScopedSystemCalls::ScopedSystemCalls(SystemCalls& calls) : previous_(currentCalls) { currentCalls = &calls; }
ScopedSystemCalls::~ScopedSystemCalls() { currentCalls = previous_; }

}  // namespace tavrelle::settings
