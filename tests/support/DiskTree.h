// Folders on the real disk for the native tests: files written with their
// folders, and a whole tree as one comparable text.
#pragma once

#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>
#include <string>

namespace disktree {

inline void WriteFile(const std::filesystem::path& p, const std::string& data) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
}

// Every path below root, one line each: "path/" for a folder, "path=content"
// for a file, "path->target" for a symbolic link.
inline std::string Tree(const std::filesystem::path& root) {
    std::set<std::string> lines;
    for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
        std::ostringstream content;
        if (e.is_symlink()) content << "->" << std::filesystem::read_symlink(e.path()).string();
        else if (e.is_directory()) content << "/";
        else content << "=" << std::ifstream(e.path(), std::ios::binary).rdbuf();
        lines.insert(std::filesystem::relative(e.path(), root).string() + content.str() + "\n");
    }
    return std::accumulate(lines.begin(), lines.end(), std::string());
}

}  // namespace disktree
