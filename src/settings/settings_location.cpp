#include "settings/settings_location.h"
#include "settings/system_calls.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string_view>

namespace tavrelle::settings {
namespace {

constexpr std::string_view kPerUserFile = "/tavrelle/tavrelle.ini";

bool isAbsolute(std::string_view path) { return path.starts_with('/'); }

// The folder of an absolute path.
std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The running executable as bytes, or empty when the system does not say.
std::string executablePath(SystemCalls& sys)
{
    char buffer[PATH_MAX];
    const ssize_t length = sys.readlink("/proc/self/exe", buffer, sizeof buffer);
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
    return !b.empty() && sys.stat(a.c_str(), &first) == 0 && sys.stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// A file this user may write, in the sense the save uses, or a name the save
// can put a new file at: a missing one, or a special file of its own (not a
// link, not a folder) that the save replaces, in a folder that takes new files.
bool canSaveAt(SystemCalls& sys, const std::string& path)
{
    struct stat status {};
    if (sys.stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && sys.access(path.c_str(), W_OK) == 0;
    }
    const bool replaceable = sys.lstat(path.c_str(), &status) == 0
                                 ? !S_ISLNK(status.st_mode) && !S_ISDIR(status.st_mode)
                                 : errno == ENOENT;
    return replaceable && sys.access(folderOf(path).c_str(), W_OK | X_OK) == 0;
}

// The per-user file; a relative path, never to be used, when no absolute
// home can be had.
std::string perUserFile(SystemCalls& sys)
{
    const char* configHome = sys.getenv("XDG_CONFIG_HOME");
    std::string base;
    if (configHome != nullptr && isAbsolute(configHome)) {
        base = configHome;
    } else {
        const char* home = sys.getenv("HOME");
        std::string homeText = home != nullptr ? home : "";
        if (!isAbsolute(homeText)) {
            const passwd* user = sys.getpwuid(sys.geteuid());
            if (user != nullptr && user->pw_dir != nullptr && isAbsolute(user->pw_dir)) {
                homeText = user->pw_dir;
            }
        }
        base = (homeText.empty() ? std::string("~") : homeText) + "/.config";
    }
    while (base.ends_with('/')) {
        base.pop_back();
    }
    return base + std::string(kPerUserFile);
}

// Creates each missing folder on the way; a failure shows up at the save.
void makeFolders(SystemCalls& sys, const std::string& folder)
{
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        sys.mkdir(folder.substr(0, slash).c_str(), 0700);
        if (slash == std::string::npos) {
            return;
        }
    }
}

}  // namespace

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

SettingsLocation locateSettings(const std::string& installBinFolder)
{
    SystemCalls& sys = SystemCalls::current();
    const std::string executable = executablePath(sys);
    const std::string beside = executable.empty() ? std::string() : settingsPathForExecutable(executable);
    if (!beside.empty() && !sameFolder(sys, folderOf(executable), installBinFolder) && canSaveAt(sys, beside)) {
        return {beside, beside};
    }

    const std::string perUser = perUserFile(sys);
    const bool usable = isAbsolute(perUser);
    if (usable) {
        makeFolders(sys, folderOf(perUser));
    }
    // An administrator's file beside the program gives a new user's first
    // values; it is read only, and skipped when this user may not read it.
    struct stat status {};
    const bool perUserExists = usable && (sys.lstat(perUser.c_str(), &status) == 0 || errno != ENOENT);
    if (!perUserExists && !beside.empty() && sys.stat(beside.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        sys.access(beside.c_str(), R_OK) == 0) {
        return {beside, perUser};
    }
    return {perUser, perUser};
}

SettingsLocation locateSettings() { return locateSettings(TAVRELLE_INSTALL_BINDIR); }

}  // namespace tavrelle::settings
