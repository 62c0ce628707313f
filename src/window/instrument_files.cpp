#include "window/instrument_definitions.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string_view>

namespace tavrelle::window {

std::vector<std::string> definitionFilesBeside(const std::string& settingsPath)
{
    const std::size_t slash = settingsPath.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    const std::string folder = settingsPath.substr(0, slash + 1);
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), &closedir);
    std::vector<std::string> files;
    for (const dirent* entry = listing ? readdir(listing.get()) : nullptr; entry != nullptr;
         entry = readdir(listing.get())) {
        const std::string path = folder + entry->d_name;
        struct stat status {};
        if (isDefinitionFileName(entry->d_name) && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            files.push_back(path);
        }
    }
    return files;
}

std::optional<std::string> readDefinitionFile(const std::string& path, std::size_t largest)
{
    struct Descriptor {
        int fd;
        ~Descriptor()
        {
            if (fd >= 0) {
                close(fd);
            }
        }
    } const file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    struct stat status {};
    if (file.fd < 0 || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uintmax_t>(status.st_size) > largest) {
        return std::nullopt;
    }
    // A byte beyond the size shows a file that grew meanwhile.
    std::string bytes(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t now = read(file.fd, bytes.data() + got, bytes.size() - got);
        if (now < 0) {
            return std::nullopt;
        }
        if (now == 0) {
            break;
        }
        got += static_cast<std::size_t>(now);
    }
    if (got > largest) {
        return std::nullopt;
    }
    bytes.resize(got);
    return bytes;
}

}  // namespace tavrelle::window
