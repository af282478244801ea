#include "TextDecoding.h"

#include "CString.h"

const char* EncodingName(TextEncoding encoding) {
    switch (encoding) {
    case TextEncoding::Utf8: return "UTF-8";
    case TextEncoding::Utf8Bom: return "UTF-8 with byte-order mark";
    case TextEncoding::Utf16Le: return "UTF-16 LE";
    case TextEncoding::Utf16Be: return "UTF-16 BE";
    }
    return "?";
}

bool DecodeUtf8Strict(const std::string& bytes, std::size_t begin, std::u16string& text, std::size_t& badOffset) {
    return ::DecodeUtf8Strict(bytes.data() + begin, bytes.size() - begin, text, &badOffset);
}

bool DecodeText(const std::string& bytes, std::u16string& text, TextEncoding& encoding, std::string& error) {
    const auto byteAt = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const std::size_t n = bytes.size();
    text.clear();
    if (n >= 2 && ((byteAt(0) == 0xFF && byteAt(1) == 0xFE) || (byteAt(0) == 0xFE && byteAt(1) == 0xFF))) {
        const bool little = byteAt(0) == 0xFF;
        encoding = little ? TextEncoding::Utf16Le : TextEncoding::Utf16Be;
        if (n % 2 != 0) {
            error = "cannot decode: UTF-16 text has an odd number of bytes (" + std::to_string(n) + ")";
            return false;
        }
        text.reserve((n - 2) / 2);
        for (std::size_t i = 2; i < n; i += 2) {
            const unsigned unit = little ? byteAt(i) | (byteAt(i + 1) << 8) : (byteAt(i) << 8) | byteAt(i + 1);
            if (unit == 0) {
                error = "cannot decode: NUL character at byte " + std::to_string(i);
                text.clear();
                return false;
            }
            text += static_cast<char16_t>(unit);
        }
        return true;
    }
    std::size_t begin = 0;
    encoding = TextEncoding::Utf8;
    if (n >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF) {
        begin = 3;
        encoding = TextEncoding::Utf8Bom;
    }
    const std::size_t nul = bytes.find('\0', begin);
    if (nul != std::string::npos) {
        error = "cannot decode: NUL character at byte " + std::to_string(nul) +
                " (UTF-16 needs a byte-order mark)";
        return false;
    }
    std::size_t bad = 0;
    if (!DecodeUtf8Strict(bytes, begin, text, bad)) {
        error = "cannot decode: invalid UTF-8 at byte " + std::to_string(begin + bad);
        text.clear();
        return false;
    }
    return true;
}

std::u16string DecodeTextLeniently(const std::string& bytes) {
    const auto byteAt = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const std::size_t n = bytes.size();
    if (n >= 2 && ((byteAt(0) == 0xFF && byteAt(1) == 0xFE) || (byteAt(0) == 0xFE && byteAt(1) == 0xFF))) {
        const bool little = byteAt(0) == 0xFF;
        std::u16string text;
        text.reserve(n / 2);
        for (std::size_t i = 2; i + 1 < n; i += 2)
            text += static_cast<char16_t>(little ? byteAt(i) | (byteAt(i + 1) << 8) : (byteAt(i) << 8) | byteAt(i + 1));
        return text;
    }
    const bool mark = n >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF;
    return Utf8ToUtf16(mark ? bytes.substr(3) : bytes);
}
