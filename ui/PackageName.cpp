#include "PackageName.h"

const char16_t kFallbackPackageName[] = u"update-package.zip";

namespace {

char16_t AsciiUpper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool IsForbidden(char16_t c) {
    if (c < 0x20 || c == 0x7F) return true;
    switch (c) {
    case u'<': case u'>': case u':': case u'"': case u'/': case u'\\': case u'|': case u'?': case u'*':
        return true;
    default:
        return false;
    }
}

// Windows opens the device for these base names whatever the extension.
bool IsDeviceName(const std::u16string& name) {
    std::u16string base = name.substr(0, name.find(u'.'));
    while (!base.empty() && base.back() == u' ') base.pop_back();
    for (char16_t& c : base) c = AsciiUpper(c);
    if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL" || base == u"CONIN$" ||
        base == u"CONOUT$")
        return true;
    if (base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0)) {
        const char16_t digit = base[3];
        // Superscript one to three count as digits here too.
        return (digit >= u'1' && digit <= u'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
    }
    return false;
}

}  // namespace

std::u16string PackageFileNameFromUrl(const std::u16string& url) {
    const std::size_t end = url.find_first_of(u"?#");
    const std::u16string path = url.substr(0, end);
    const std::size_t slash = path.rfind(u'/');
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);

    bool safe = !name.empty() && name != u"." && name != u".." && name.size() <= 255;
    for (char16_t c : name) {
        if (IsForbidden(c)) safe = false;
    }
    if (safe && (name.back() == u'.' || name.back() == u' ')) safe = false;
    if (safe && IsDeviceName(name)) safe = false;
    return safe ? name : std::u16string(kFallbackPackageName);
}
