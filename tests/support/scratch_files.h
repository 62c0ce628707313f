// A scratch folder removed with everything in it, and whole-file I/O.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace tavrelle::testing {

inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// A fresh folder under the system's temporary folder that other users may
// enter (tests drop privileges to check permissions), removed afterwards
// even where a test took away its permissions.
class ScratchFolder {
public:
    ScratchFolder()
    {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / "tavrelle-test.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw fs::filesystem_error("mkdtemp", pattern, std::error_code(errno, std::generic_category()));
        }
        path_ = pattern;
        fs::permissions(path_, fs::perms(0755));
    }
    ~ScratchFolder()
    {
        namespace fs = std::filesystem;
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (const auto& entry : fs::recursive_directory_iterator(path_, ignored)) {
            if (!entry.is_symlink(ignored) && entry.is_directory(ignored)) {
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
            }
        }
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // The names in the folder itself, sorted.
    std::vector<std::string> names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path path_;
};

}  // namespace tavrelle::testing
