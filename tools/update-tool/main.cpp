// update-tool entry point for POSIX systems: arguments and file names are
// passed through as the bytes the system gives (normally UTF-8).
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "Tool.h"

namespace {

// Directories open fine for reading here; refuse them as Windows does.
std::FILE* OpenFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    struct stat info;
    if (file != nullptr && fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    ToolContext context{stdin, stdout, stderr, OpenFile};
    return RunTool(args, context);
}
