#include "TextQuoting.h"

#include "CString.h"

bool ShownEscaped(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string QuoteText(const std::u16string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t c = text[i];
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (ShownEscaped(c) || (c >= 0xD800 && c <= 0xDFFF && !pair)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
        } else {
            out += Utf16ToUtf8(pair ? text.substr(i++, 2) : std::u16string(1, c));
        }
    }
    return out + '"';
}

std::string QuoteText(const std::string& utf8) { return QuoteText(Utf8ToUtf16(utf8)); }
