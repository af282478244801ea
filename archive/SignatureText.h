// Text forms shared by the package and manifest signatures: canonical base64
// (RFC 4648 alphabet, "=" padding) and lower-case hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Crypto.h"

std::string Base64(const std::uint8_t* data, std::size_t size);
// Exactly `size` bytes in canonical base64 (padding and unused bits as Base64
// writes them), or false.
bool Unbase64(const std::string& text, std::uint8_t* data, std::size_t size);
std::string Hex(const Sha256Digest& digest);

// The rest of `line` after `name` ("product: "), when the line starts with it.
bool ReadField(const std::string& line, const std::string& name, std::string& value);
