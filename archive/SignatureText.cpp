#include "SignatureText.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string Base64(const std::uint8_t* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t n =
            data[i] << 16 | (i + 1 < size ? data[i + 1] << 8 : 0) | (i + 2 < size ? data[i + 2] : 0);
        for (std::size_t k = 0; k < 4; ++k) out += k <= size - i ? kAlphabet[(n >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

bool Unbase64(const std::string& text, std::uint8_t* data, std::size_t size) {
    if (text.size() != (size + 2) / 3 * 4) return false;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t n = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char* at = text[i + k] == '=' ? nullptr : std::strchr(kAlphabet, text[i + k]);
            if (text[i + k] == '\0' || (!at && text[i + k] != '=')) return false;
            n = n << 6 | (at ? static_cast<std::uint32_t>(at - kAlphabet) : 0);
        }
        for (std::size_t k = 0; k < 3; ++k) bytes.push_back(static_cast<std::uint8_t>(n >> (16 - 8 * k)));
    }
    if (Base64(bytes.data(), size) != text) return false;
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size), data);
    return true;
}

std::string Hex(const Sha256Digest& digest) {
    std::string out;
    for (std::uint8_t b : digest) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 15];
    }
    return out;
}

bool ReadField(const std::string& line, const std::string& name, std::string& value) {
    if (line.compare(0, name.size(), name) != 0) return false;
    value = line.substr(name.size());
    return true;
}
