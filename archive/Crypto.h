// SHA-256 and ECDSA over the curve P-256, from the platform: the system's CNG
// (bcrypt) on Windows, OpenSSL's libcrypto elsewhere. Nothing here is our own
// cryptography; this is the seam between the package signature code and them.
//
// Keys and signatures travel as raw big-endian numbers: a public key is the
// point's X and Y (32 bytes each), a private key the scalar d with its public
// point, a signature r and s (32 bytes each). Any thread; no state is shared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using Sha256Digest = std::array<std::uint8_t, 32>;
using EcdsaPublicKey = std::array<std::uint8_t, 64>;   // X, Y
using EcdsaSignature = std::array<std::uint8_t, 64>;   // r, s

struct EcdsaPrivateKey {
    std::array<std::uint8_t, 32> d{};
    EcdsaPublicKey publicKey{};
};

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False once the platform has failed; Finish then fails too.
    bool Update(const void* data, std::size_t size);
    bool Finish(Sha256Digest& digest);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// True only for a valid signature of `digest` under `key`; an invalid key
// (not a point of the curve) verifies nothing.
bool EcdsaVerify(const EcdsaPublicKey& key, const Sha256Digest& digest, const EcdsaSignature& signature);

// False with a reason when the platform refuses.
bool EcdsaSign(const EcdsaPrivateKey& key, const Sha256Digest& digest, EcdsaSignature& signature, std::string& why);
bool EcdsaGenerateKey(EcdsaPrivateKey& key, std::string& why);
