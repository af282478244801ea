// SHA-256 and ECDSA P-256 over OpenSSL's libcrypto (3.0 or later).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

#include "Crypto.h"

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

using Pkey = Owned<EVP_PKEY, EVP_PKEY_free>;
using PkeyContext = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Bignum = Owned<BIGNUM, BN_free>;
using Signature = Owned<ECDSA_SIG, ECDSA_SIG_free>;
using Params = Owned<OSSL_PARAM, OSSL_PARAM_free>;
void FreeBytes(unsigned char* p) { OPENSSL_free(p); }
using Bytes = Owned<unsigned char, FreeBytes>;
using ParamBuilder = Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;

// A key from its raw numbers; a private key when d is given.
Pkey MakeKey(const EcdsaPublicKey& q, const std::uint8_t* d) {
    unsigned char point[65] = {4};
    std::copy(q.begin(), q.end(), point + 1);
    ParamBuilder build(OSSL_PARAM_BLD_new());
    Bignum scalar(d ? BN_bin2bn(d, 32, nullptr) : nullptr);
    if (!build || !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point) ||
        (d && (!scalar || !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get()))))
        return nullptr;
    Params params(OSSL_PARAM_BLD_to_param(build.get()));
    PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) <= 0 ||
        EVP_PKEY_fromdata(context.get(), &key, d ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
        return nullptr;
    Pkey owned(key);
    // fromdata takes the numbers as given: the point must be checked here.
    PkeyContext check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) <= 0) return nullptr;
    return owned;
}

}  // namespace

struct Sha256::State {
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> context{EVP_MD_CTX_new()};
    bool ok = false;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    m_state->ok = m_state->context && EVP_DigestInit_ex(m_state->context.get(), EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;

bool Sha256::Update(const void* data, std::size_t size) {
    m_state->ok = m_state->ok && EVP_DigestUpdate(m_state->context.get(), data, size) == 1;
    return m_state->ok;
}

bool Sha256::Finish(Sha256Digest& digest) {
    unsigned int size = 0;
    m_state->ok = m_state->ok && EVP_DigestFinal_ex(m_state->context.get(), digest.data(), &size) == 1 && size == 32;
    return m_state->ok;
}

bool EcdsaVerify(const EcdsaPublicKey& key, const Sha256Digest& digest, const EcdsaSignature& signature) {
    Pkey pkey = MakeKey(key, nullptr);
    Signature sig(ECDSA_SIG_new());
    if (!pkey || !sig) return false;
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derSize = i2d_ECDSA_SIG(sig.get(), &der);
    if (derSize <= 0) return false;
    const Bytes derOwned(der);
    PkeyContext context(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_verify(context.get(), der, static_cast<std::size_t>(derSize), digest.data(), digest.size()) == 1;
}

bool EcdsaSign(const EcdsaPrivateKey& key, const Sha256Digest& digest, EcdsaSignature& signature, std::string& why) {
    Pkey pkey = MakeKey(key.publicKey, key.d.data());
    if (!pkey) {
        why = "the private key is not a P-256 key";
        return false;
    }
    PkeyContext context(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    unsigned char der[80];
    std::size_t derSize = sizeof der;
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_sign(context.get(), der, &derSize, digest.data(), digest.size()) != 1) {
        why = "libcrypto could not sign";
        return false;
    }
    const unsigned char* p = der;
    Signature sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derSize)));
    if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), signature.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), signature.data() + 32, 32) != 32) {
        why = "libcrypto made an unexpected signature";
        return false;
    }
    return true;
}

bool EcdsaGenerateKey(EcdsaPrivateKey& key, std::string& why) {
    Pkey pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    unsigned char point[65];
    std::size_t pointSize = 0;
    BIGNUM* d = nullptr;
    if (!pkey ||
        EVP_PKEY_get_octet_string_param(pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointSize) != 1 ||
        pointSize != 65 || point[0] != 4 || EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1) {
        why = "libcrypto could not make a key";
        return false;
    }
    Bignum scalar(d);
    if (BN_bn2binpad(scalar.get(), key.d.data(), 32) != 32) {
        why = "libcrypto made an unexpected key";
        return false;
    }
    std::copy(point + 1, point + 65, key.publicKey.begin());
    return true;
}
