#include "settings/settings_disk.h"
#include "settings/unix_paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string_view>

namespace tavrelle::settings {
namespace {

constexpr std::string_view kPerUserFile = "/tavrelle/tavrelle.ini";

bool isAbsolute(std::string_view path) { return path.starts_with('/'); }

std::string executablePath(SystemCalls& sys)
{
    char buffer[PATH_MAX];
    const ssize_t length = sys.readlinkat(AT_FDCWD, "/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
        return {};
    }
    std::string path(buffer, static_cast<std::size_t>(length));
    // How the kernel names an executable that was rebuilt or upgraded while it runs.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) {
        path.resize(path.size() - kDeleted.size());
    }
    return isAbsolute(path) ? path : std::string();
}

bool sameFolder(SystemCalls& sys, const std::string& a, const std::string& b)
{
    struct stat first {};
    struct stat second {};
    return !b.empty() && sys.fstatat(AT_FDCWD, a.c_str(), &first, 0) == 0 &&
           sys.fstatat(AT_FDCWD, b.c_str(), &second, 0) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// A regular file may be rewritten in place where its folder takes no new file.
bool canSaveAt(SystemCalls& sys, const std::string& path)
{
    const PathEnd end = findPathEnd(sys, path);
    if (end.outcome != PathEnd::Reached || !mayReplace(sys, end)) {
        return false;
    }
    return (end.exists && S_ISREG(end.status.st_mode)) || sys.faccessat(end.folder.get(), ".", W_OK | X_OK) == 0;
}

bool canReadFileAt(SystemCalls& sys, const std::string& path)
{
    const PathEnd end = findPathEnd(sys, path);
    return end.outcome == PathEnd::Reached && end.exists && S_ISREG(end.status.st_mode) &&
           sys.faccessat(end.folder.get(), end.name.c_str(), R_OK) == 0;
}

std::string configHome(SystemCalls& sys)
{
    const char* configHome = sys.getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && isAbsolute(configHome)) {
        return configHome;
    }
    const char* home = sys.getenv("HOME");
    std::string homeText = home != nullptr ? home : "";
    if (!isAbsolute(homeText)) {
        const passwd* user = sys.getpwuid(sys.geteuid());
        if (user != nullptr && user->pw_dir != nullptr && isAbsolute(user->pw_dir)) {
            homeText = user->pw_dir;
        }
    }
    return (homeText.empty() ? std::string("~") : homeText) + "/.config";
}

}  // namespace

std::string perUserSettingsPath(SystemCalls& sys)
{
    std::string base = configHome(sys);
    while (base.ends_with('/')) {
        base.pop_back();
    }
    const std::string path = base + std::string(kPerUserFile);
    if (isAbsolute(path)) {
        // A folder that cannot be made shows up as a failed save.
        const std::string folder = folderOf(path);
        for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
            sys.mkdir(folder.substr(0, slash).c_str(), 0700);
            if (slash == std::string::npos) {
                break;
            }
        }
    }
    return path;
}

std::string settingsPathForExecutable(const std::string& executablePath)
{
    return withIniExtension(executablePath, "/");
}

SettingsLocation locateSettings(const std::string& installBinFolder)
{
    SystemCalls& sys = SystemCalls::current();
    const std::string executable = executablePath(sys);
    const std::string beside = executable.empty() ? std::string() : settingsPathForExecutable(executable);
    if (!beside.empty() && !sameFolder(sys, folderOf(executable), installBinFolder) && canSaveAt(sys, beside)) {
        return {beside, beside};
    }
    const std::string perUser = perUserSettingsPath(sys);
    // An administrator's file beside the program gives a new user's first
    // values; it is only read, and skipped when this user may not read it.
    struct stat status {};
    const bool perUserExists =
        isAbsolute(perUser) &&
        (sys.fstatat(AT_FDCWD, perUser.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT);
    if (!perUserExists && !beside.empty() && canReadFileAt(sys, beside)) {
        return {beside, perUser};
    }
    return {perUser, perUser};
}

SettingsLocation locateSettings() { return locateSettings(TAVRELLE_INSTALL_BINDIR); }

}  // namespace tavrelle::settings
