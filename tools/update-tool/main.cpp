// update-tool entry point for POSIX systems: arguments and file names are
// passed through as the bytes the system gives (normally UTF-8).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

bool WriteSecretFile(const std::string& path, const std::string& data, std::string& why) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return why = std::strerror(errno), false;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = done == data.size() && fsync(fd) == 0;
    why = std::strerror(errno);
    if (close(fd) != 0 || !ok) return unlink(path.c_str()), false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    ToolContext context{stdin, stdout, stderr, OpenFile, WriteSecretFile};
    return RunTool(args, context);
}
