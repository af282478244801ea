// update-tool entry point for POSIX systems: arguments and file names are
// passed through as the bytes the system gives (normally UTF-8).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Tool.h"

namespace {

// Opened without waiting (a FIFO would hold the open until a writer came),
// and kept only when it is a regular file. Directories open fine for reading
// here; they are refused as Windows refuses them.
std::FILE* OpenFile(const std::string& path, std::string& why) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        why = std::strerror(errno);
        if (fd >= 0) close(fd);
        return nullptr;
    }
    std::FILE* file = nullptr;
    if (!S_ISREG(info.st_mode)) why = S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || !(file = fdopen(fd, "rb")))
        why = std::strerror(errno);
    if (!file) close(fd);
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
    // A closed output is an error the commands report (keygen then removes the
    // key it wrote), not a signal that ends the process.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    ToolContext context{stdin, stdout, stderr, OpenFile, WriteSecretFile};
    return RunTool(args, context);
}
