// Package signatures with the platform's cryptography (libcrypto natively,
// CNG when this program runs under Wine): what signs verifies, and every kind
// of forgery is refused. Packages made by the other platform's code are in
// tests/data/signing.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "CString.h"
#include "MemoryFileSystem.h"
#include "PackageSignature.h"
#include "ZipBuilder.h"

namespace {

std::string Fixture(const std::string& name) {
    std::ifstream in(std::string(UPDATE_TEST_DATA_DIR) + "/signing/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A package whose comment hides a second archive (an evil Qelda.exe and evil.dll) with an end record of its own, whose
// comment is `hiddenComment` bytes long: it reaches the end of the file, or `after` follows it.
ziptest::Archive TwoFaced(std::size_t hiddenComment, const std::string& after = "") {
    ziptest::Archive hidden, outer;
    hidden.entries = {ziptest::Entry::File("Qelda.exe", "evil"), ziptest::Entry::File("evil.dll", "evil")};
    hidden.comment = std::string(hiddenComment, ' ');
    const std::string bytes = hidden.Build();
    outer.entries.push_back(ziptest::Entry::File("Qelda.exe", std::string(3000, 'q')));
    outer.comment = bytes.substr(0, bytes.size() - hiddenComment) + after;
    return outer;
}

struct Signed {
    MemoryFileSystem fs;
    EcdsaPrivateKey key;
    std::string bytes;  // the signed package

    explicit Signed(const std::string& comment = "publisher's own comment") {
        std::string why;
        EXPECT_TRUE(EcdsaGenerateKey(key, why)) << why;
        ziptest::Archive a;
        a.entries.push_back(ziptest::Entry::File("Qelda.exe", std::string(3000, 'q')));
        a.entries.push_back(ziptest::Entry::File("data/notes.txt", "release notes", 0));
        a.comment = comment;
        fs.AddFile(u"/pkg.zip", a.Build());
        EXPECT_EQ(SignPackage(fs, u"/pkg.zip", key, u"2.0").status, SignStatus::Signed);
        bytes = fs.Find(u"/pkg.zip")->data;
    }
    SignatureCheck Check(const std::string& data, const EcdsaPublicKey* other = nullptr) {
        fs.Find(u"/pkg.zip")->data = data;
        return CheckPackageSignature(fs, u"/pkg.zip", other ? *other : key.publicKey);
    }
    std::size_t BlockStart() const { return bytes.rfind("-----BEGIN QELDA PACKAGE SIGNATURE-----"); }
    // The archive with a valid block for Qelda 2.0 appended to its comment, made here from the documented format.
    std::string Forge(ziptest::Archive a) const {
        std::string block = bytes.substr(BlockStart()), why, text;
        a.comment += std::string(block.size(), ' ');
        std::string signedBytes = a.Build();
        signedBytes.resize(signedBytes.size() - block.size());
        auto sha256 = [](const std::string& data) {
            Sha256 hash;
            Sha256Digest digest{};
            EXPECT_TRUE(hash.Update(data.data(), data.size()) && hash.Finish(digest));
            return digest;
        };
        std::string statement = "Qelda package signature 1\nproduct: Qelda\nversion: 2.0\nsha256: ";
        const char* hex = "0123456789abcdef";
        for (std::uint8_t b : sha256(signedBytes)) statement += {hex[b >> 4], hex[b & 15]};
        EcdsaSignature signature;
        EXPECT_TRUE(EcdsaSign(key, sha256(statement + "\n"), signature, why)) << why;
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (std::size_t i = 0; i < 64; i += 3) {
            const std::uint32_t n = signature[i] << 16 | (i < 63 ? signature[i + 1] << 8 | signature[i + 2] : 0);
            for (std::size_t k = 0; k < 4; ++k) text += i + k <= 64 ? alphabet[(n >> (18 - 6 * k)) & 63] : '=';
        }
        return signedBytes + block.replace(block.find("signature: ") + 11, text.size(), text);
    }
};

}  // namespace

TEST(Signature, SignsVerifiesAndSignsAgain) {
    Signed p;
    SignatureCheck check = p.Check(p.bytes);
    ASSERT_TRUE(check.ok()) << Utf16ToUtf8(check.reason);
    EXPECT_TRUE(check.SignedFor(u"Qelda", u"2.0"));
    EXPECT_FALSE(check.SignedFor(u"Qelda", u"2.1"));
    EXPECT_NE(p.bytes.find("publisher's own comment-----BEGIN"), std::string::npos);
    // Signing again replaces the signature; the publisher's comment stays once.
    EXPECT_EQ(SignPackage(p.fs, u"/pkg.zip", p.key, u"3.0").status, SignStatus::Signed);
    check = CheckPackageSignature(p.fs, u"/pkg.zip", p.key.publicKey);
    EXPECT_TRUE(check.SignedFor(u"Qelda", u"3.0"));
    const std::string again = p.fs.Find(u"/pkg.zip")->data;
    EXPECT_EQ(again.find("-----BEGIN"), again.rfind("-----BEGIN"));
    const std::size_t endRecord = p.bytes.rfind(std::string("PK\x05\x06", 4));
    EXPECT_EQ(again.substr(0, endRecord), p.bytes.substr(0, endRecord));
    // Keys survive their texts.
    EcdsaPublicKey pub;
    EcdsaPrivateKey priv;
    ASSERT_TRUE(ParsePublicKey(FormatPublicKey(p.key.publicKey), pub));
    ASSERT_TRUE(ParsePrivateKeyFile(FormatPrivateKeyFile(p.key), priv));
    EXPECT_EQ(pub, p.key.publicKey);
    EXPECT_EQ(priv.d, p.key.d);
    EXPECT_FALSE(ParsePublicKey(FormatPublicKey(pub) + "A", pub));
    EXPECT_FALSE(ParsePublicKey("ecdsa-p256:" + std::string(86, 'A') + "=A", pub));
}

// A byte changed anywhere before the block, every truncation, bytes appended,
// the block removed or mangled, another key: never valid.
TEST(Signature, EveryForgeryIsRefused) {
    Signed p;
    const std::size_t block = p.BlockStart();
    for (std::size_t at = 0; at < p.bytes.size(); ++at) {
        std::string forged = p.bytes;
        forged[at] = static_cast<char>(forged[at] ^ (at < block ? 0x01 : 0x20));
        EXPECT_FALSE(p.Check(forged).ok()) << "byte " << at;
    }
    for (std::size_t size = 0; size < p.bytes.size(); ++size)
        EXPECT_FALSE(p.Check(p.bytes.substr(0, size)).ok()) << "cut at " << size;
    EXPECT_FALSE(p.Check(p.bytes + "x").ok());
    EXPECT_EQ(p.Check(p.bytes.substr(0, block)).status, SignatureStatus::Missing);
    std::string other = p.bytes;
    char& digit = other[other.find("signature: ") + 11];
    digit = digit == 'A' ? 'B' : 'A';
    EXPECT_EQ(p.Check(other).status, SignatureStatus::Invalid);
    std::string renamed = p.bytes;
    renamed.replace(renamed.find("version: 2.0"), 12, "version: 9.0");
    EXPECT_EQ(p.Check(renamed).status, SignatureStatus::Invalid);
    // A second end record that becomes the last one once the block is appended, or that ends where the block starts.
    const std::size_t blockSize = p.bytes.size() - block;
    for (const std::string& forged : {p.Forge(TwoFaced(blockSize)), p.Forge(TwoFaced(0))}) {
        const SignatureCheck check = p.Check(forged);
        EXPECT_EQ(check.status, SignatureStatus::Invalid);
        EXPECT_NE(check.reason.find(u"end record"), std::u16string::npos) << Utf16ToUtf8(check.reason);
    }
    EXPECT_TRUE(p.Check(p.Forge(TwoFaced(blockSize + 1))).ok()) << "the forger works";
    Signed stranger;
    EXPECT_EQ(p.Check(p.bytes, &stranger.key.publicKey).status, SignatureStatus::Invalid);
    // Validly signed, but for another product.
    EXPECT_EQ(SignPackage(p.fs, u"/pkg.zip", p.key, u"2.0", u"Other").status, SignStatus::Signed);
    const SignatureCheck check = CheckPackageSignature(p.fs, u"/pkg.zip", p.key.publicKey);
    EXPECT_TRUE(check.ok());
    EXPECT_FALSE(check.SignedFor(u"Qelda", u"2.0"));
}

// Packages the updater would refuse are refused and left as they were.
TEST(Signature, SignRefusesWhatTheUpdaterRefuses) {
    Signed p;
    ziptest::Archive damaged;
    damaged.entries.push_back(ziptest::Entry::File("a.txt", "a"));
    damaged.entries.back().centralCrc = damaged.entries.back().localCrc = 1;
    ziptest::Archive unsafe;
    unsafe.entries.push_back(ziptest::Entry::File("../evil.exe", "x"));
    ziptest::Archive commented;
    commented.entries.push_back(ziptest::Entry::File("a.txt", "a"));
    commented.comment = std::string(65400, 'c');
    // A second end record: the last one already, or once the block is appended, or before a block there already.
    const std::size_t blockSize = p.bytes.size() - p.BlockStart();
    const std::string oldBlock = "-----BEGIN QELDA PACKAGE SIGNATURE-----\nx\n";
    for (const std::string& bytes : {damaged.Build(), unsafe.Build(), std::string("<html>404</html>"),
                                     p.bytes + "trailing", commented.Build(), TwoFaced(0).Build(),
                                     TwoFaced(blockSize).Build(), TwoFaced(0, oldBlock).Build()}) {
        p.fs.Find(u"/pkg.zip")->data = bytes;
        EXPECT_EQ(SignPackage(p.fs, u"/pkg.zip", p.key, u"2.0").status, SignStatus::Refused);
        EXPECT_EQ(p.fs.Find(u"/pkg.zip")->data, bytes);
        EXPECT_EQ(p.fs.Find(u"/pkg.zip.signing"), nullptr);
    }
    EXPECT_EQ(SignPackage(p.fs, u"/absent.zip", p.key, u"2.0").status, SignStatus::IoError);
    EXPECT_EQ(SignPackage(p.fs, u"/pkg.zip", p.key, u"").status, SignStatus::Refused);
}

// What one platform's code signed, the other's verifies: fixtures signed by
// update-tool natively (libcrypto) and under Wine (CNG) with one key.
TEST(Signature, FixturesFromBothPlatformsVerify) {
    EcdsaPublicKey key;
    std::string text = Fixture("publisher.pub");
    ASSERT_TRUE(ParsePublicKey(text.substr(0, text.find_first_of("\r\n")), key));
    for (const char* name : {"signed-by-libcrypto.zip", "signed-by-cng.zip"}) {
        MemoryFileSystem fs;
        fs.AddFile(u"/pkg.zip", Fixture(name));
        const SignatureCheck check = CheckPackageSignature(fs, u"/pkg.zip", key);
        EXPECT_TRUE(check.SignedFor(u"Qelda", u"2.0")) << name << ": " << Utf16ToUtf8(check.reason);
    }
}
