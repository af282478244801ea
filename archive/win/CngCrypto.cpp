// SHA-256 and ECDSA P-256 over the system's CNG (bcrypt.dll).
#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "Crypto.h"

namespace {

bool Ok(NTSTATUS status) { return status >= 0; }

// One algorithm provider, closed on every path.
class Provider {
public:
    explicit Provider(const wchar_t* algorithm) {
        if (!Ok(BCryptOpenAlgorithmProvider(&m_h, algorithm, nullptr, 0))) m_h = nullptr;
    }
    ~Provider() {
        if (m_h) BCryptCloseAlgorithmProvider(m_h, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    BCRYPT_ALG_HANDLE get() const { return m_h; }

private:
    BCRYPT_ALG_HANDLE m_h = nullptr;
};

class Key {
public:
    Key() = default;
    ~Key() {
        if (m_h) BCryptDestroyKey(m_h);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    BCRYPT_KEY_HANDLE* put() { return &m_h; }
    BCRYPT_KEY_HANDLE get() const { return m_h; }

private:
    BCRYPT_KEY_HANDLE m_h = nullptr;
};

// A BCRYPT_ECCKEY_BLOB header followed by X, Y and, for a private key, d.
std::vector<UCHAR> KeyBlob(ULONG magic, const EcdsaPublicKey& q, const std::uint8_t* d) {
    BCRYPT_ECCKEY_BLOB header{magic, 32};
    std::vector<UCHAR> blob(sizeof header + 64 + (d ? 32 : 0));
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, q.data(), 64);
    if (d) std::memcpy(blob.data() + sizeof header + 64, d, 32);
    return blob;
}

bool Import(const Provider& p, const wchar_t* type, std::vector<UCHAR> blob, Key& key) {
    return p.get() && Ok(BCryptImportKeyPair(p.get(), nullptr, type, key.put(), blob.data(),
                                             static_cast<ULONG>(blob.size()), 0));
}

}  // namespace

struct Sha256::State {
    Provider provider{BCRYPT_SHA256_ALGORITHM};
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
    ~State() {
        if (hash) BCryptDestroyHash(hash);
    }
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    m_state->ok = m_state->provider.get() &&
                  Ok(BCryptCreateHash(m_state->provider.get(), &m_state->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() = default;

bool Sha256::Update(const void* data, std::size_t size) {
    const UCHAR* p = static_cast<const UCHAR*>(data);
    while (m_state->ok && size != 0) {
        const ULONG n = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        m_state->ok = Ok(BCryptHashData(m_state->hash, const_cast<UCHAR*>(p), n, 0));
        p += n;
        size -= n;
    }
    return m_state->ok;
}

bool Sha256::Finish(Sha256Digest& digest) {
    m_state->ok = m_state->ok && Ok(BCryptFinishHash(m_state->hash, digest.data(), 32, 0));
    return m_state->ok;
}

bool EcdsaVerify(const EcdsaPublicKey& key, const Sha256Digest& digest, const EcdsaSignature& signature) {
    Provider p(BCRYPT_ECDSA_P256_ALGORITHM);
    Key k;
    if (!Import(p, BCRYPT_ECCPUBLIC_BLOB, KeyBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, key, nullptr), k)) return false;
    return BCryptVerifySignature(k.get(), nullptr, const_cast<UCHAR*>(digest.data()), 32,
                                 const_cast<UCHAR*>(signature.data()), 64, 0) == 0;
}

bool EcdsaSign(const EcdsaPrivateKey& key, const Sha256Digest& digest, EcdsaSignature& signature, std::string& why) {
    Provider p(BCRYPT_ECDSA_P256_ALGORITHM);
    Key k;
    if (!Import(p, BCRYPT_ECCPRIVATE_BLOB, KeyBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, key.publicKey, key.d.data()), k)) {
        why = "the system refused the private key";
        return false;
    }
    ULONG size = 0;
    if (!Ok(BCryptSignHash(k.get(), nullptr, const_cast<UCHAR*>(digest.data()), 32, signature.data(), 64, &size, 0)) ||
        size != 64) {
        why = "the system could not sign";
        return false;
    }
    return true;
}

bool EcdsaGenerateKey(EcdsaPrivateKey& key, std::string& why) {
    Provider p(BCRYPT_ECDSA_P256_ALGORITHM);
    Key k;
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 96);
    ULONG size = 0;
    if (!p.get() || !Ok(BCryptGenerateKeyPair(p.get(), k.put(), 256, 0)) || !Ok(BCryptFinalizeKeyPair(k.get(), 0)) ||
        !Ok(BCryptExportKey(k.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(), static_cast<ULONG>(blob.size()),
                            &size, 0)) ||
        size != blob.size()) {
        why = "the system could not make a key";
        return false;
    }
    std::memcpy(key.publicKey.data(), blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    std::memcpy(key.d.data(), blob.data() + sizeof(BCRYPT_ECCKEY_BLOB) + 64, 32);
    return true;
}
