#include "TextFile.h"

#include <cerrno>
#include <cstring>

bool ReadAllBytes(std::FILE* stream, std::string& bytes, std::string& error, std::size_t maxBytes) {
    bytes.clear();
    // A regular file's size is known up front: refuse it before reading, and
    // reserve once. It is read from where it stands (standard input may have
    // been left part read). Pipes and terminals are measured while read.
    const long start = std::ftell(stream);
    if (start >= 0 && std::fseek(stream, 0, SEEK_END) == 0) {
        const long size = std::ftell(stream) - start;
        if (std::fseek(stream, start, SEEK_SET) != 0) {
            error = std::strerror(errno);
            return false;
        }
        if (size > 0 && static_cast<unsigned long>(size) > maxBytes) {
            error = "larger than " + std::to_string(maxBytes >> 20) + " MiB";
            return false;
        }
        if (size > 0) bytes.reserve(static_cast<std::size_t>(size));
    }
    char buffer[65536];
    for (;;) {
        errno = 0;
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, stream);
        if (got > 0) {
            if (got > maxBytes - bytes.size()) {
                error = "larger than " + std::to_string(maxBytes >> 20) + " MiB";
                bytes.clear();
                return false;
            }
            bytes.append(buffer, got);
        }
        if (got < sizeof buffer) {
            if (std::ferror(stream)) {
                const int code = errno;
                error = code != 0 ? std::strerror(code) : "read error";
                bytes.clear();
                return false;
            }
            if (std::feof(stream)) return true;
        }
    }
}
