#include "settings/windows/ini_path.h"

namespace tavrelle::settings {

std::string iniPathForExecutable(const std::string& executablePath,
                                 const std::function<bool(unsigned char)>& isLeadByte)
{
    std::size_t dot = std::string::npos;
    for (std::size_t i = 0; i < executablePath.size(); ++i) {
        const auto byte = static_cast<unsigned char>(executablePath[i]);
        if (isLeadByte(byte) && i + 1 < executablePath.size()) {
            ++i;
        } else if (byte == '\\' || byte == '/' || byte == ':') {
            dot = std::string::npos;
        } else if (byte == '.') {
            dot = i;
        }
    }
    return (dot == std::string::npos ? executablePath : executablePath.substr(0, dot)) + ".ini";
}

}  // namespace tavrelle::settings
