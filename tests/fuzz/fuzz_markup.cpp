// The markup engine on any text (bytes after a leading 0xFE are UTF-16LE code units, lone surrogates and NULs included;
// anything else is UTF-8) keeps every invariant of markupcheck, also when a second text is parsed into the table.
#include <cstdio>
#include <cstdlib>

#include "MarkupChecks.h"

static void Check(const std::string& result) {
    if (result.compare(0, 6, "BROKEN") != 0) return;
    std::fprintf(stderr, "%s\n", result.c_str());
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text;
    if (size > 0 && data[0] == 0xFE) {
        for (std::size_t i = 1; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    } else {
        text = Utf8ToUtf16(std::string(reinterpret_cast<const char*>(data), size));
    }
    Check(markupcheck::Tokens(text, false));
    MarkupDocument doc;
    for (const std::u16string& part : {text, text.substr(text.size() / 2)})
        Check(markupcheck::Document(doc, doc.Parse(part)));
    return 0;
}
