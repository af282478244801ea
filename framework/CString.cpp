#include "CString.h"

FormatArg::FormatArg(const char16_t* v) : kind(Text), s(v ? v : u"(null)") {
    while (s[n] != 0) ++n;
}

namespace {

void AppendPadded(std::u16string& out, const std::u16string& body, int width, bool left, char16_t pad) {
    const int fill = width - static_cast<int>(body.size());
    if (fill > 0 && !left) {
        // Zero padding goes after a sign.
        if (pad == u'0' && !body.empty() && body[0] == u'-') {
            out += u'-';
            out.append(static_cast<std::size_t>(fill), u'0');
            out.append(body, 1, std::u16string::npos);
            return;
        }
        out.append(static_cast<std::size_t>(fill), pad);
    }
    out += body;
    if (fill > 0 && left) out.append(static_cast<std::size_t>(fill), u' ');
}

std::u16string Digits(unsigned long long v, unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char16_t buf[64];
    int k = 0;
    do {
        buf[k++] = static_cast<char16_t>(set[v % base]);
        v /= base;
    } while (v != 0);
    std::u16string r;
    while (k > 0) r += buf[--k];
    return r;
}

}  // namespace

std::u16string FormatText(const char16_t* pattern, std::initializer_list<FormatArg> args) {
    std::u16string out;
    const FormatArg* next = args.begin();
    for (const char16_t* p = pattern; *p != 0; ++p) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        const char16_t* specStart = p;
        ++p;
        if (*p == u'%') {
            out += u'%';
            continue;
        }
        bool left = false;
        char16_t pad = u' ';
        for (;; ++p) {
            if (*p == u'-') left = true;
            else if (*p == u'0') pad = u'0';
            else break;
        }
        int width = 0;
        while (*p >= u'0' && *p <= u'9' && width < 10000) width = width * 10 + (*p++ - u'0');
        while (*p == u'l' || *p == u'h') ++p;
        const char16_t conv = *p;
        if (conv == 0) {  // pattern ends inside a conversion: keep it as text
            out.append(specStart, p);
            break;
        }
        if (next == args.end()) {
            out.append(u"(missing)");
            continue;
        }
        const FormatArg& a = *next++;
        std::u16string body;
        switch (conv) {
        case u'd':
        case u'i':
            if (a.kind == FormatArg::Text) body = u"(?)";
            else if (a.kind == FormatArg::Signed && a.i < 0)
                body = u"-" + Digits(0ull - static_cast<unsigned long long>(a.i), 10, false);
            else body = Digits(a.kind == FormatArg::Signed ? static_cast<unsigned long long>(a.i) : a.u, 10, false);
            break;
        case u'u':
        case u'x':
        case u'X': {
            if (a.kind == FormatArg::Text) { body = u"(?)"; break; }
            unsigned long long v = a.kind == FormatArg::Signed ? static_cast<unsigned long long>(a.i) : a.u;
            if (a.kind == FormatArg::Signed && a.i < 0) v &= 0xFFFFFFFFull;  // as the 32-bit C runtime prints it
            body = Digits(v, conv == u'u' ? 10 : 16, conv == u'X');
            break;
        }
        case u's':
            if (a.kind == FormatArg::Text) body.assign(a.s, a.n);
            else body = u"(?)";
            break;
        case u'c':
            if (a.kind != FormatArg::Text) body = static_cast<char16_t>(a.kind == FormatArg::Signed ? a.i : static_cast<long long>(a.u));
            else body = u"(?)";
            break;
        default:
            body.assign(specStart, p + 1);
            --next;  // unknown conversion consumes nothing
            break;
        }
        AppendPadded(out, body, width, left, pad);
    }
    return out;
}

std::u16string Utf8ToUtf16(const std::string& in) {
    std::u16string out;
    out.reserve(in.size());
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            ++i;
            continue;
        }
        int extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; min = 0x80; }
        else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; min = 0x800; }
        else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; min = 0x10000; }
        else { out += u'\uFFFD'; ++i; continue; }
        std::size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < extra; ++k, ++j) {
            if (j >= n || (static_cast<unsigned char>(in[j]) & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (static_cast<unsigned char>(in[j]) & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += u'\uFFFD';
            i = ok ? j : (j > i + 1 ? j : i + 1);
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i = j;
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Utf16ToUtf8(const std::u16string& in) {
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

bool DecodeUtf8Strict(const char* bytes, std::size_t n, std::u16string& text, std::size_t* badOffset) {
    text.clear();
    text.reserve(n);
    const auto fail = [badOffset](std::size_t at) {
        if (badOffset != nullptr) *badOffset = at;
        return false;
    };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            text += static_cast<char16_t>(c);
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; }
        else if (c == 0xE0) { extra = 2; cp = c & 0x0F; lo = 0xA0; }
        else if (c == 0xED) { extra = 2; cp = c & 0x0F; hi = 0x9F; }
        else if (c >= 0xE1 && c <= 0xEF) { extra = 2; cp = c & 0x0F; }
        else if (c == 0xF0) { extra = 3; cp = c & 0x07; lo = 0x90; }
        else if (c == 0xF4) { extra = 3; cp = c & 0x07; hi = 0x8F; }
        else if (c >= 0xF1 && c <= 0xF3) { extra = 3; cp = c & 0x07; }
        else return fail(i);
        if (n - i - 1 < static_cast<std::size_t>(extra)) return fail(i);
        for (int k = 1; k <= extra; ++k) {
            const unsigned char t = static_cast<unsigned char>(bytes[i + k]);
            const unsigned char tlo = k == 1 ? lo : 0x80, thi = k == 1 ? hi : 0xBF;
            if (t < tlo || t > thi) return fail(i);
            cp = (cp << 6) | (t & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            text += static_cast<char16_t>(0xD800 + (cp >> 10));
            text += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            text += static_cast<char16_t>(cp);
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}
