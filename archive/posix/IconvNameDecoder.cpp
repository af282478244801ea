// Code-page decoding through iconv, for the native builds.
#include <errno.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "NameDecoder.h"

namespace {

// One conversion descriptor per call: iconv descriptors carry state and the
// decoder may be shared between threads.
class IconvDecoder : public ZipNameDecoder {
public:
    explicit IconvDecoder(std::string charset) : m_charset(std::move(charset)) {}

    bool Decode(const std::string& bytes, std::u16string& text) const override {
        text.clear();
        iconv_t cd = iconv_open("UTF-16LE", m_charset.c_str());
        if (cd == reinterpret_cast<iconv_t>(-1)) return false;
        std::vector<char> out(bytes.size() * 4 + 8);
        char* in = const_cast<char*>(bytes.data());
        std::size_t inLeft = bytes.size();
        char* outp = out.data();
        std::size_t outLeft = out.size();
        const std::size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
        bool ok = r != static_cast<std::size_t>(-1) && inLeft == 0;
        if (ok) ok = iconv(cd, nullptr, nullptr, &outp, &outLeft) != static_cast<std::size_t>(-1);
        iconv_close(cd);
        if (!ok) return false;
        const std::size_t produced = out.size() - outLeft;
        text.reserve(produced / 2);
        for (std::size_t i = 0; i + 1 < produced; i += 2)
            text += static_cast<char16_t>(static_cast<unsigned char>(out[i]) | (static_cast<unsigned char>(out[i + 1]) << 8));
        return true;
    }

    bool Usable() const {
        iconv_t cd = iconv_open("UTF-16LE", m_charset.c_str());
        if (cd == reinterpret_cast<iconv_t>(-1)) return false;
        iconv_close(cd);
        return true;
    }

private:
    std::string m_charset;
};

}  // namespace

std::shared_ptr<const ZipNameDecoder> MakeCodePageDecoder(unsigned codePage) {
    if (codePage == 1) codePage = 437;
    auto decoder = std::make_shared<IconvDecoder>(codePage == 65001 ? std::string("UTF-8")
                                                                     : "CP" + std::to_string(codePage));
    if (!decoder->Usable()) return nullptr;
    return decoder;
}

std::shared_ptr<const ZipNameDecoder> DefaultNameDecoder() {
    static const std::shared_ptr<const ZipNameDecoder> decoder = MakeCodePageDecoder(437);
    return decoder;
}
