// Reading a text file's bytes, for update-tool; TextDecoding.h decodes them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "TextDecoding.h"

// Files larger than this are refused before they are decoded.
constexpr std::size_t kMaxTextFileBytes = std::size_t{256} << 20;

// Reads the rest of an open stream from where it stands (a file handed over
// part read is not rewound), refusing more than maxBytes. On failure
// returns false with a message ("larger than 256 MiB", or the C runtime's
// description of the read error).
bool ReadAllBytes(std::FILE* stream, std::string& bytes, std::string& error,
                  std::size_t maxBytes = kMaxTextFileBytes);
