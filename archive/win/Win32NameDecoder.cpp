// Code-page decoding through MultiByteToWideChar, for the program.
#include <windows.h>

#include <climits>
#include <string>

#include "NameDecoder.h"

namespace {

class CodePageDecoder : public ZipNameDecoder {
public:
    explicit CodePageDecoder(UINT codePage) : m_codePage(codePage) {}

    bool Decode(const std::string& bytes, std::u16string& text) const override {
        text.clear();
        if (bytes.empty()) return true;
        if (bytes.size() > INT_MAX) return false;
        const int inSize = static_cast<int>(bytes.size());
        const int n = MultiByteToWideChar(m_codePage, MB_ERR_INVALID_CHARS, bytes.data(), inSize, nullptr, 0);
        if (n <= 0) return false;
        text.resize(static_cast<std::size_t>(n));
        return MultiByteToWideChar(m_codePage, MB_ERR_INVALID_CHARS, bytes.data(), inSize,
                                   reinterpret_cast<wchar_t*>(&text[0]), n) == n;
    }

private:
    UINT m_codePage;
};

}  // namespace

std::shared_ptr<const ZipNameDecoder> MakeCodePageDecoder(unsigned codePage) {
    if (codePage != CP_OEMCP && !IsValidCodePage(codePage)) return nullptr;
    return std::make_shared<CodePageDecoder>(codePage);
}

std::shared_ptr<const ZipNameDecoder> DefaultNameDecoder() {
    static const std::shared_ptr<const ZipNameDecoder> decoder = MakeCodePageDecoder(CP_OEMCP);
    return decoder;
}
