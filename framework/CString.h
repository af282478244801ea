// The framework's counted UTF-16 string with value semantics.
//
// A std::u16string with the few framework operations the program uses and
// printf-style formatting. Formatting is type-checked at the call: each
// argument is captured as an integer or a text, so a pattern that does not
// fit its arguments prints a marker instead of reading a wrong vararg.
// On Windows the code units are the same width as wchar_t, so a CString
// hands its buffer to the API as a wide string without conversion.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

#ifdef _WIN32
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be UTF-16");
#endif

// One argument of a formatting call.
struct FormatArg {
    enum Kind { Signed, Unsigned, Text };
    Kind kind;
    long long i = 0;
    unsigned long long u = 0;
    const char16_t* s = nullptr;
    std::size_t n = 0;

    FormatArg(int v) : kind(Signed), i(v) {}
    FormatArg(long v) : kind(Signed), i(v) {}
    FormatArg(long long v) : kind(Signed), i(v) {}
    FormatArg(unsigned v) : kind(Unsigned), u(v) {}
    FormatArg(unsigned long v) : kind(Unsigned), u(v) {}
    FormatArg(unsigned long long v) : kind(Unsigned), u(v) {}
    FormatArg(const char16_t* v);
    FormatArg(const std::u16string& v) : kind(Text), s(v.data()), n(v.size()) {}
#ifdef _WIN32
    FormatArg(const wchar_t* v) : FormatArg(reinterpret_cast<const char16_t*>(v)) {}
#endif
};

// Formats a printf-style pattern: %d %i %u %x %X %s %c %% with optional
// flags "-" "0", a width and the size prefixes l, ll, h (which change nothing:
// every integer argument arrives at its full width).
std::u16string FormatText(const char16_t* pattern, std::initializer_list<FormatArg> args);

class CString : public std::u16string {
public:
    using std::u16string::basic_string;
    CString() = default;
    CString(const std::u16string& s) : std::u16string(s) {}
    CString(std::u16string&& s) noexcept : std::u16string(std::move(s)) {}
#ifdef _WIN32
    CString(const wchar_t* s)
        : std::u16string(s ? reinterpret_cast<const char16_t*>(s) : u"") {}
    CString(const wchar_t* s, std::size_t n)
        : std::u16string(reinterpret_cast<const char16_t*>(s), n) {}
    const wchar_t* GetString() const { return reinterpret_cast<const wchar_t*>(c_str()); }
    template <class... A>
    void Format(const wchar_t* pattern, const A&... args) {
        assign(FormatText(reinterpret_cast<const char16_t*>(pattern), {FormatArg(args)...}));
    }
#endif

    int GetLength() const { return static_cast<int>(size()); }
    bool IsEmpty() const { return empty(); }
    void Empty() { clear(); }

    template <class... A>
    void Format(const char16_t* pattern, const A&... args) {
        assign(FormatText(pattern, {FormatArg(args)...}));
    }
};

// UTF-8 <-> UTF-16. Invalid UTF-8 becomes U+FFFD per bad sequence; an unpaired
// surrogate in UTF-16 becomes U+FFFD in UTF-8.
std::u16string Utf8ToUtf16(const std::string& utf8);
std::string Utf16ToUtf8(const std::u16string& utf16);

// Strict UTF-8: refuses overlong forms, encoded surrogates, code points above
// U+10FFFF and truncated sequences. On failure returns false and, when asked,
// the offset (from `bytes`) of the first byte that does not decode.
bool DecodeUtf8Strict(const char* bytes, std::size_t n, std::u16string& text, std::size_t* badOffset = nullptr);

// Appends one code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);
