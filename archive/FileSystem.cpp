#include "FileSystem.h"

std::u16string JoinPath(const FileSystem& fs, const std::u16string& dir, const std::u16string& name) {
    const char16_t sep = fs.Separator();
    if (dir.empty()) return name;
    if (dir.back() == sep || dir.back() == u'/') return dir + name;
    std::u16string path = dir;
    path += sep;
    path += name;
    return path;
}
