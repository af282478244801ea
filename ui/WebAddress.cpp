#include "WebAddress.h"

namespace {

bool StartsWithFolded(const std::u16string& text, const char16_t* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != u'\0'; ++i) {
        if (i >= text.size()) return false;
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

bool IsWebAddress(const std::u16string& address) {
    std::size_t rest = 0;
    if (StartsWithFolded(address, u"http://")) rest = 7;
    else if (StartsWithFolded(address, u"https://")) rest = 8;
    else return false;
    for (char16_t c : address)
        if (c <= u' ' || c == 0x7F || c == u'\\' || (c >= 0x80 && c <= 0xA0) || c == 0x1680 ||
            (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) ||
            c == 0x3000 || c == 0xFEFF)
            return false;
    // The authority runs to the first '/', '?' or '#'; its host follows any
    // "user@" and comes before any ":port".
    const std::size_t end = address.find_first_of(u"/?#", rest);
    const std::u16string authority = address.substr(rest, end == std::u16string::npos ? end : end - rest);
    const std::size_t at = authority.rfind(u'@');
    const std::u16string host = at == std::u16string::npos ? authority : authority.substr(at + 1);
    return !host.empty() && host[0] != u':';
}
