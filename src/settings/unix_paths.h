#pragma once

#include "settings/settings_location.h"
#include "settings/system_calls.h"

#include <string>
#include <utility>

namespace tavrelle::settings {

// "." for a bare name, "/" for a name at the root.
std::string folderOf(const std::string& path);
std::string fileNameOf(const std::string& path);

class Descriptor {
public:
    Descriptor() = default;
    Descriptor(SystemCalls& sys, int fd) : sys_(&sys), fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : sys_(other.sys_), fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        std::swap(sys_, other.sys_);
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor()
    {
        if (fd_ >= 0) {
            sys_->close(fd_);
        }
    }

    int get() const { return fd_; }
    bool closeNow() { return sys_->close(std::exchange(fd_, -1)) == 0; }

private:
    SystemCalls* sys_ = nullptr;
    int fd_ = -1;
};

// Where an absolute path ends once its links are followed: the folder holding
// it, kept open so no later call resolves the path again, and its name there.
struct PathEnd {
    enum Outcome { Reached, ForeignLink, Failed };
    Outcome outcome = Failed;
    Descriptor folder;
    std::string name;
    bool exists = false;
    struct stat status {};  // of the entry itself, never of a link
    bool throughLink = false;
};

// Follows links as the kernel's protected-links rule does, whatever the
// machine is set to: in a sticky folder that everyone may write, only a link
// of this user's or of the folder owner's (else ForeignLink), as another user
// could point one at any file of this user's. Failed sets errno.
PathEnd findPathEnd(SystemCalls& sys, const std::string& path);

// Never in place of a folder, through a link only to a regular file (not to
// the device or pipe it points to), and over a regular file only when a
// write bit is set, even for root, and this user may write it.
bool mayReplace(SystemCalls& sys, const PathEnd& end);

// Its folders made; without an absolute home a relative path no save takes.
std::string perUserSettingsPath(SystemCalls& sys);

// A copy in `installBinFolder`, or one that cannot save beside itself, uses
// $XDG_CONFIG_HOME/tavrelle/tavrelle.ini.
SettingsLocation locateSettings(const std::string& installBinFolder);

}  // namespace tavrelle::settings
