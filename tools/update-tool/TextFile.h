// Reading a text file's bytes and decoding them to UTF-16, for update-tool.
//
// Decoding is strict, so that a publisher learns about a broken file instead
// of seeing it silently repaired:
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
// naming the byte offset in the file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum class TextEncoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };

const char* EncodingName(TextEncoding encoding);

// Files larger than this are refused before they are decoded.
constexpr std::size_t kMaxTextFileBytes = std::size_t{256} << 20;

// Reads the rest of an open stream from where it stands (a file handed over
// part read is not rewound), refusing more than maxBytes. On failure
// returns false with a message ("larger than 256 MiB", or the C runtime's
// description of the read error).
bool ReadAllBytes(std::FILE* stream, std::string& bytes, std::string& error,
                  std::size_t maxBytes = kMaxTextFileBytes);

// Decodes a whole file's bytes. On failure returns false with a message.
bool DecodeText(const std::string& bytes, std::u16string& text, TextEncoding& encoding, std::string& error);

// Strict UTF-8 decoding of bytes [begin, end). On failure returns false and
// the offset of the first byte of the bad sequence (relative to begin).
bool DecodeUtf8Strict(const std::string& bytes, std::size_t begin, std::u16string& text, std::size_t& badOffset);
