#include "settings/settings_disk.h"

namespace tavrelle::settings {

std::string withIniExtension(const std::string& path, std::string_view separators)
{
    const std::size_t nameStart = path.find_last_of(separators) + 1;
    const std::size_t dot = path.rfind('.');
    return (dot != std::string::npos && dot >= nameStart ? path.substr(0, dot) : path) + ".ini";
}

SettingsError cannotOpen(const std::string& path)
{
    return SettingsError("ファイル " + path + " は開けません");
}

SettingsError cannotCreate(const std::string& path)
{
    return SettingsError("ファイル " + path + " を作成できません");
}

SettingsError writeFailed() { return SettingsError("ストリームへの書き込みエラー"); }

SettingsFile SettingsFile::open(const std::string& readPath, const std::string& savePath)
{
    FoundAtPath found = readAtPath(readPath);
    switch (found.kind) {
    case FoundAtPath::Nothing:
    case FoundAtPath::NotAFile: return SettingsFile(savePath);
    case FoundAtPath::File:
        if (found.bytes) {
            return fromBytes(*found.bytes, savePath);
        }
        break;
    case FoundAtPath::Unknown: break;
    }
    throw cannotOpen(readPath);
}

}  // namespace tavrelle::settings
