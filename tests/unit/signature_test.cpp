// Package and manifest signatures with the platform's cryptography (libcrypto
// natively, CNG when this program runs under Wine): what signs verifies, and
// every kind of forgery is refused. Packages and manifests made by the other
// platform's code are in tests/data/signing.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <tuple>

#include "CString.h"
#include "ManifestCommand.h"
#include "ManifestSignature.h"
#include "MemoryFileSystem.h"
#include "PackageSignature.h"
#include "SignatureText.h"
#include "TextDecoding.h"
#include "ZipBuilder.h"

namespace {

const std::int64_t kSignedAt = 1796618002;  // 2026-12-07T04:33:22Z
const std::int64_t kThirtyDays = 30 * 24 * 60 * 60;
const std::string kPackageHead = "Qelda package signature 1\nproduct: Qelda\nversion: 2.0\n";
const std::string kManifestHead = "Qelda manifest signature 1\nproduct: Qelda\nsigned-at: 2026-12-07T04:33:22Z\n"
                                  "expires: 2027-01-06T04:33:22Z\n";

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

// Every byte changed (one bit before `block`, 0x20 from there on) and every cut leaving out more than `spare`
// bytes: never valid.
template <typename Valid>
void ExpectEveryChangeRefused(const std::string& bytes, std::size_t block, std::size_t spare, Valid valid) {
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string forged = bytes;
        forged[at] = static_cast<char>(forged[at] ^ (at < block ? 0x01 : 0x20));
        EXPECT_FALSE(valid(forged)) << "byte " << at;
    }
    for (std::size_t size = 0; size + spare < bytes.size(); ++size)
        EXPECT_FALSE(valid(bytes.substr(0, size))) << "cut at " << size;
}

// The base64 signature by `key` of `head` + "sha256: <hex SHA-256 of bytes>\n", made here as the headers document it.
std::string StatementSignature(const EcdsaPrivateKey& key, const std::string& head, const std::string& bytes) {
    auto sha256 = [](const std::string& data) {
        Sha256 hash;
        Sha256Digest digest{};
        EXPECT_TRUE(hash.Update(data.data(), data.size()) && hash.Finish(digest));
        return digest;
    };
    EcdsaSignature signature;
    std::string why;
    EXPECT_TRUE(EcdsaSign(key, sha256(head + "sha256: " + Hex(sha256(bytes)) + "\n"), signature, why)) << why;
    return Base64(signature.data(), signature.size());
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
    // The archive with the block appended to its comment, signed over `head` (the documented statement for Qelda 2.0
    // by default).
    std::string Forge(ziptest::Archive a, const std::string& head = kPackageHead) const {
        std::string block = bytes.substr(BlockStart());
        a.comment += std::string(block.size(), ' ');
        std::string signedBytes = a.Build();
        signedBytes.resize(signedBytes.size() - block.size());
        const std::string signature = StatementSignature(key, head, signedBytes);
        return signedBytes + block.replace(block.find("signature: ") + 11, signature.size(), signature);
    }
};

const std::string kManifest = "<?xml version=\"1.0\"?>\n<Updates>\n  <Update><OldVer>1.0</OldVer><NewVer>2.0</NewVer>"
                              "<UpdateInfo>\xE4\xBF\xAE\xE5\xA4\x8D &amp; \xF0\x9D\x84\x9E</UpdateInfo></Update>\n"
                              "</Updates>";

std::string Encoded(const std::string& utf8, TextEncoding encoding) {
    if (encoding == TextEncoding::Utf8 || encoding == TextEncoding::Utf8Bom)
        return (encoding == TextEncoding::Utf8 ? "" : "\xEF\xBB\xBF") + utf8;
    const bool little = encoding == TextEncoding::Utf16Le;
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    for (char16_t c : Utf8ToUtf16(utf8)) {
        const char low = static_cast<char>(c & 0xFF), high = static_cast<char>(c >> 8);
        out += little ? std::string{low, high} : std::string{high, low};
    }
    return out;
}

// A manifest signed at kSignedAt for 30 days by a key of its own.
struct SignedManifest {
    EcdsaPrivateKey key;
    std::string bytes;

    explicit SignedManifest(const std::string& manifest = kManifest) {
        std::string why;
        EXPECT_TRUE(EcdsaGenerateKey(key, why)) << why;
        const SignResult r = SignManifest(manifest, key, kSignedAt, 30, bytes);
        EXPECT_EQ(r.status, SignStatus::Signed) << Utf16ToUtf8(r.reason);
    }
    std::size_t BlockStart() const { return bytes.rfind("<!-- Qelda manifest signature"); }
    ManifestSignatureCheck Check(const std::string& data, std::int64_t now = kSignedAt) const {
        return CheckManifestSignature(data, {key.publicKey}, now);
    }
    // The UTF-8 manifest `from` with its block signed over `head` and the bytes before the block.
    std::string Forge(const std::string& head, const std::string& from) const {
        const std::size_t start = from.rfind("<!-- Qelda manifest signature");
        std::string block = from.substr(start);
        const std::string signature = StatementSignature(key, head, from.substr(0, start));
        return from.substr(0, start) + block.replace(block.find("signature: ") + 11, 88, signature);
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
    // Keys survive their texts; a list of public keys reads only whole.
    EcdsaPrivateKey priv;
    ASSERT_TRUE(ParsePrivateKeyFile(FormatPrivateKeyFile(p.key), priv));
    EXPECT_EQ(priv.d, p.key.d);
    const std::string one = FormatPublicKey(p.key.publicKey);
    std::vector<EcdsaPublicKey> keys;
    EXPECT_TRUE(ParsePublicKeys(one + "," + one, keys) && keys == std::vector<EcdsaPublicKey>(2, p.key.publicKey));
    for (const std::string& list : {std::string(), one + ",", "," + one, one + ", " + one, one + "," + one + "A",
                                    "ecdsa-p256:" + std::string(86, 'A') + "=A"})
        EXPECT_FALSE(ParsePublicKeys(list, keys)) << list;
}

// A byte changed anywhere before the block, every truncation, bytes appended,
// the block removed or mangled, another key: never valid.
TEST(Signature, EveryForgeryIsRefused) {
    Signed p;
    const std::size_t block = p.BlockStart();
    ExpectEveryChangeRefused(p.bytes, block, 0, [&p](const std::string& bytes) { return p.Check(bytes).ok(); });
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
    EXPECT_EQ(p.Check(p.Forge(TwoFaced(blockSize + 1), kManifestHead)).status, SignatureStatus::Invalid)
        << "a manifest statement";
    Signed stranger;
    EXPECT_EQ(p.Check(p.bytes, &stranger.key.publicKey).status, SignatureStatus::Invalid);
    EXPECT_TRUE(CheckPackageSignature(p.fs, u"/pkg.zip", {stranger.key.publicKey, p.key.publicKey}).ok());
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
    for (const char* name : {"manifest-signed-by-libcrypto.xml", "manifest-signed-by-cng.xml"}) {
        const ManifestSignatureCheck check = CheckManifestSignature(Fixture(name), {key}, 1796601600);
        EXPECT_TRUE(check.ok() && check.signedAt == 1796601600) << name << ": " << Utf16ToUtf8(check.reason);
    }
}

// Signed in every encoding, in that encoding: the block is a comment after the root, the records read as before, and
// signing again replaces the block.
TEST(ManifestSignature, SignsInEveryEncodingAndReadsTheSame) {
    for (auto [name, encoding] : {std::pair{"UTF-8", TextEncoding::Utf8}, {"UTF-8 with BOM", TextEncoding::Utf8Bom},
                                  {"UTF-16 LE", TextEncoding::Utf16Le}, {"UTF-16 BE", TextEncoding::Utf16Be}}) {
        const std::string manifest = Encoded(kManifest, encoding);
        const SignedManifest m(manifest);
        const ManifestSignatureCheck check = m.Check(m.bytes);
        EXPECT_TRUE(check.ok()) << name << ": " << Utf16ToUtf8(check.reason);
        EXPECT_EQ(std::tuple(check.product, check.signedAt, check.expires),
                  std::tuple(u"Qelda", kSignedAt, kSignedAt + kThirtyDays)) << name;
        std::u16string before, after;
        TextEncoding read = TextEncoding::Utf8;
        std::string error;
        ASSERT_TRUE(DecodeText(manifest, before, read, error) && DecodeText(m.bytes, after, read, error)) << name;
        EXPECT_EQ(m.bytes.substr(0, manifest.size()), manifest) << name;
        const std::u16string block = u"\n<!-- Qelda manifest signature\nproduct: Qelda\n"
                                     u"signed-at: 2026-12-07T04:33:22Z\nexpires: 2027-01-06T04:33:22Z\nsignature: ";
        EXPECT_EQ(after.substr(before.size(), block.size()), block) << name;
        EXPECT_EQ(after.substr(after.size() - 7), u"==\n-->\n") << name;
        EXPECT_EQ(ManifestJson(AnalyseManifest(after, {}), {}), ManifestJson(AnalyseManifest(before, {}), {})) << name;
        std::string again;
        ASSERT_EQ(SignManifest(m.bytes, m.key, kSignedAt + 1, 30, again).status, SignStatus::Signed) << name;
        EXPECT_EQ(m.Check(again).signedAt, kSignedAt + 1) << name;
        EXPECT_EQ(std::pair(again.size(), again.substr(0, manifest.size() + 2)),
                  std::pair(m.bytes.size(), m.bytes.substr(0, manifest.size() + 2))) << name;
    }
}

// Only the publisher's signature, for Qelda, within its time, over exactly the bytes before a block that ends the
// file, is valid.
TEST(ManifestSignature, EveryForgeryIsRefused) {
    const SignedManifest m, stranger;
    const std::size_t block = m.BlockStart();  // the final line break may go
    ExpectEveryChangeRefused(m.bytes, block, 1, [&m](const std::string& bytes) { return m.Check(bytes).ok(); });
    auto replaced = [&m](const std::string& from, const std::string& to) {
        std::string s = m.bytes;
        return s.replace(s.find(from), from.size(), to);
    };
    const EcdsaPublicKey key = m.key.publicKey;
    std::string other = kManifestHead;
    other.replace(other.find("Qelda\nsigned"), 5, "Other");
    using S = ManifestSignatureStatus;
    const struct {
        const char* name;
        std::string bytes;
        std::vector<EcdsaPublicKey> keys;
        std::int64_t now;
        S status;
    } rows[] = {
        {"white space after the block", m.bytes + " \t\r\n", {key}, kSignedAt, S::Valid},
        {"either of two keys", m.bytes, {stranger.key.publicKey, key}, kSignedAt, S::Valid},
        {"the documented statement", m.Forge(kManifestHead, m.bytes), {key}, kSignedAt, S::Valid},
        {"a second before the expiry", m.bytes, {key}, kSignedAt + kThirtyDays - 1, S::Valid},
        {"signed a day ahead", m.bytes, {key}, kSignedAt - kManifestClockSkew, S::Valid},
        {"expired", m.bytes, {key}, kSignedAt + kThirtyDays, S::Expired},
        {"signed more than a day ahead", m.bytes, {key}, kSignedAt - kManifestClockSkew - 1, S::NotYetValid},
        {"block removed", m.bytes.substr(0, block), {key}, kSignedAt, S::Missing},
        {"another key", m.bytes, {stranger.key.publicKey}, kSignedAt, S::Invalid},
        {"another product", m.Forge(other, replaced("product: Qelda", "product: Other")), {key}, kSignedAt, S::Invalid},
        {"signing time moved", replaced("at: 2026-12-07", "at: 2026-12-08"), {key}, kSignedAt, S::Invalid},
        {"expiry moved", replaced("expires: 2027", "expires: 2028"), {key}, kSignedAt, S::Invalid},
        {"a package statement", m.Forge(kPackageHead, m.bytes), {key}, kSignedAt, S::Invalid},
        {"a field renamed", replaced("product:", "produkt:"), {key}, kSignedAt, S::Malformed},
        {"bytes after the block", m.bytes + "<!-- -->", {key}, kSignedAt, S::Malformed},
        {"two blocks", m.bytes + m.bytes.substr(block), {key}, kSignedAt, S::Malformed},
    };
    for (const auto& row : rows) {
        const ManifestSignatureCheck check = CheckManifestSignature(row.bytes, row.keys, row.now);
        EXPECT_EQ(check.status, row.status) << row.name << ": " << Utf16ToUtf8(check.reason);
        EXPECT_EQ(check.reason.empty(), check.ok()) << row.name;
    }
}

TEST(ManifestSignature, UtcTimes) {
    for (auto [text, seconds] : {std::pair{"2024-02-29T23:59:59Z", std::int64_t{1709251199}},
                                 {"9999-12-31T23:59:59Z", 253402300799}, {"2023-02-29T00:00:00Z", -1},
                                 {"2026-12-07T24:00:00Z", -1}, {"1969-12-31T23:59:59Z", -1},
                                 {"2026-12-07 04:33:22Z", -1}}) {
        std::int64_t read = -1;
        EXPECT_EQ(ParseUtcTime(text, read) ? read : -1, seconds) << text;
        EXPECT_TRUE(seconds < 0 || FormatUtcTime(seconds) == text) << text;
    }
}
