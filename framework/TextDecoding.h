// Decoding a text file's bytes to UTF-16: one rule for the updater's
// manifest and for update-tool, so that both read the same text from the
// same bytes.
//
// Decoding is strict, so that a broken file is refused instead of silently
// repaired:
//   - EF BB BF starts UTF-8 with a byte-order mark, FF FE UTF-16 little-endian,
//     FE FF UTF-16 big-endian; anything else is read as UTF-8 without a mark.
//   - UTF-8 must be well formed (no overlong forms, no encoded surrogates,
//     nothing above U+10FFFF, no truncated sequence).
//   - UTF-16 must have an even number of bytes. Unpaired surrogates are kept
//     as they are: they are legal code units for the markup parser.
//   - A NUL character is refused in every encoding: the markup parser ends
//     the text at the first NUL, so everything after it would be lost. This
//     also catches UTF-16 written without a byte-order mark.
// Errors are one-line English messages starting with "cannot decode:" and
// naming the byte offset.
#pragma once

#include <cstddef>
#include <string>

enum class TextEncoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };

const char* EncodingName(TextEncoding encoding);

// Decodes a whole file's bytes. On failure returns false with a message.
bool DecodeText(const std::string& bytes, std::u16string& text, TextEncoding& encoding, std::string& error);

// Strict UTF-8 decoding of bytes [begin, end). On failure returns false and
// the offset of the first byte of the bad sequence (relative to begin).
bool DecodeUtf8Strict(const std::string& bytes, std::size_t begin, std::u16string& text, std::size_t& badOffset);

// The updater's reading of a manifest it downloaded, as it always was: the
// same byte-order marks, but nothing refused. UTF-8 that does not decode
// becomes U+FFFD per bad sequence, an odd last byte of UTF-16 is dropped, a
// NUL is kept (the markup parser ends the text there). For every file that
// DecodeText accepts the text is the same.
std::u16string DecodeTextLeniently(const std::string& bytes);
