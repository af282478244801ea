// Turns the bytes of an entry name stored without the UTF-8 flag into text.
//
// ZIP writers on Windows store such names in the system's OEM code page; on
// Chinese Windows, where the packages are made, that is code page 936 (GBK).
// The decoder for a code page number uses MultiByteToWideChar on Windows and
// iconv ("CP<number>") elsewhere, so that portable code names code pages the
// same way on both. A decoder is immutable after creation and may be shared.
#pragma once

#include <memory>
#include <string>

#include "CString.h"

class ZipNameDecoder {
public:
    virtual ~ZipNameDecoder() = default;
    // False when the bytes are not valid in the code page; `text` is then
    // unspecified.
    virtual bool Decode(const std::string& bytes, std::u16string& text) const = 0;
};

// Code page 1 stands for the system's OEM code page (CP_OEMCP) on Windows, and
// for code page 437 elsewhere; 65001 is UTF-8 (for names written raw by Unix
// tools). Returns null when the code page is unknown.
std::shared_ptr<const ZipNameDecoder> MakeCodePageDecoder(unsigned codePage);

// The decoder used when none is set: the OEM code page.
std::shared_ptr<const ZipNameDecoder> DefaultNameDecoder();

// Strict UTF-8: false for overlong forms, surrogates, values above U+10FFFF and
// cut-short sequences.
inline bool DecodeUtf8Strict(const std::string& bytes, std::u16string& text) {
    return DecodeUtf8Strict(bytes.data(), bytes.size(), text);
}
