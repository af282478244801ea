#include "PackageSignature.h"

#include <algorithm>
#include <tuple>
#include <vector>

#include "CString.h"
#include "InstallEngine.h"
#include "SignatureText.h"
#include "ZipFormat.h"

const char16_t kPackageProduct[] = u"Qelda";

namespace {

const char* const kBegin = zipformat::kSignatureBlockBegin;
const char kEnd[] = "-----END QELDA PACKAGE SIGNATURE-----\n";
const char kPublicPrefix[] = "ecdsa-p256:";
const char kPrivatePrefix[] = "ecdsa-p256-private:";
const std::size_t kEndRecord = zipformat::kEndSize;  // bytes of the ZIP end record before its comment

bool GoodVersion(const std::u16string& version) {
    return !version.empty() && version.size() <= 256 &&
           std::none_of(version.begin(), version.end(), [](char16_t c) { return c < 0x20 || c == 0x7F; });
}

std::string Block(const std::u16string& product, const std::u16string& version, const EcdsaSignature& signature) {
    return kBegin + ("product: " + Utf16ToUtf8(product)) + "\nversion: " + Utf16ToUtf8(version) +
           "\nsignature: " + Base64(signature.data(), signature.size()) + "\n" + kEnd;
}

bool StatementDigest(const std::u16string& product, const std::u16string& version, const Sha256Digest& bytes,
                     Sha256Digest& digest) {
    const std::string statement = "Qelda package signature 1\nproduct: " + Utf16ToUtf8(product) +
                                  "\nversion: " + Utf16ToUtf8(version) + "\nsha256: " + Hex(bytes) + "\n";
    Sha256 hash;
    return hash.Update(statement.data(), statement.size()) && hash.Finish(digest);
}

// The file's end record and comment as the archive reader finds them
// (FindZipEndRecord), when the comment reaches exactly to the end of the file.
struct Tail {
    std::uint64_t size = 0;
    std::uint64_t endRecord = 0;  // offset of the end record
    std::string comment;
    std::size_t block = std::string::npos;  // offset of the signature block in the comment
    std::u16string twoFaced;  // why the reader refuses the file, when more than one record could end it
};

// The reader's view of an open file, keeping the file system's words for a failed read.
class TailSource : public ZipSource {
public:
    explicit TailSource(FsReadFile& file) : m_file(file) {}
    std::uint64_t Size() const override { return m_file.Size(); }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        failure = m_file.ReadAt(offset, buffer, size);
        return failure.ok();
    }
    FsResult failure;

private:
    FsReadFile& m_file;
};

FsResult ReadTail(FsReadFile& file, Tail& tail, bool& found) {
    tail.size = file.Size();
    TailSource source(file);
    ZipEndRecord end;
    const ZipResult r = FindZipEndRecord(source, end);
    if (!source.failure) return source.failure;
    if (r.status == ZipStatus::Damaged) tail.twoFaced = r.ToText();
    found = r && end.position + kEndRecord + end.comment.size() == tail.size;
    tail.endRecord = end.position;
    tail.comment = end.comment;
    tail.block = end.signatureBlock;
    return FsResult::Success();
}

// Hashes `count` bytes of the file from the start, into `hash` and `out` when given.
FsResult Copy(FsReadFile& in, std::uint64_t count, Sha256& hash, FsWriteFile* out) {
    std::vector<char> buffer(1 << 20);
    for (std::uint64_t at = 0; at < count;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), count - at));
        FsResult r = in.ReadAt(at, buffer.data(), n);
        if (r && !hash.Update(buffer.data(), n)) r = FsResult::Fail(FsCode::Other, u"cannot compute SHA-256");
        if (r && out) r = out->Write(buffer.data(), n);
        if (!r) return r;
        at += n;
    }
    return FsResult::Success();
}

bool ParseBlock(const std::string& block, SignatureCheck& check, EcdsaSignature& signature) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < block.size();) {
        const std::size_t end = block.find('\n', start);
        if (end == std::string::npos) return false;
        lines.push_back(block.substr(start, end - start));
        start = end + 1;
    }
    auto field = [&](std::size_t i, const std::string& name, std::string& value) {
        return ReadField(lines[i], name, value);
    };
    std::string product, version, sig;
    return lines.size() == 5 && lines[0] + "\n" == kBegin && lines[4] + "\n" == kEnd &&
           field(1, "product: ", product) && field(2, "version: ", version) && field(3, "signature: ", sig) &&
           DecodeUtf8Strict(product.data(), product.size(), check.product) &&
           DecodeUtf8Strict(version.data(), version.size(), check.version) && GoodVersion(check.product) &&
           GoodVersion(check.version) && Unbase64(sig, signature.data(), signature.size());
}

// What the installer takes from an archive: each entry's stored name, place, sizes, CRC-32, method, flags and type.
using EntryList = std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t, std::uint64_t, std::uint32_t,
                                         std::uint16_t, std::uint16_t, std::uint32_t>>;

EntryList Entries(const CZipArchive& archive) {
    EntryList list;
    for (ZIP_INDEX_TYPE i = 0; i < archive.GetCount(); ++i) {
        const CZipFileHeader& h = *archive.GetEntry(i);
        list.emplace_back(h.GetRawFileName(), h.GetLocalHeaderOffset(), h.GetCompressedSize(), h.GetUncompressedSize(),
                          h.GetCrc(), h.GetMethod(), h.GetFlags(), h.GetExternalAttributes());
    }
    return list;
}

// Reads a signed copy back: it must be read by the end record at `endRecord` with the entries that were checked,
// and be validly signed by `key`.
SignResult ReadBack(FileSystem& fs, const std::u16string& path, std::uint64_t endRecord, const EntryList& entries,
                    const EcdsaPublicKey& key) {
    CZipArchive archive;
    archive.SetFileSystem(&fs);
    const ZipResult opened = archive.Open(path);
    std::unique_ptr<FsReadFile> file;
    Tail tail;
    bool found = false;
    FsResult r = fs.OpenForRead(path, file);
    if (r) r = ReadTail(*file, tail, found);
    if (!r) return {SignStatus::IoError, r.message};
    if (!opened) return {SignStatus::Refused, u"signed, the package would read as another archive: " + opened.ToText()};
    if (!found || tail.endRecord != endRecord)
        return {SignStatus::Refused, u"signed, the package would be read by the end record at offset " +
                                         Utf8ToUtf16(std::to_string(tail.endRecord)) + u", not the one at offset " +
                                         Utf8ToUtf16(std::to_string(endRecord))};
    if (Entries(archive) != entries) return {SignStatus::Refused, u"signed, the package would list other entries"};
    if (!CheckPackageSignature(fs, path, key).ok())
        return {SignStatus::Refused, u"the key's two halves do not belong together"};
    return {};
}

SignatureCheck Checked(SignatureStatus status, std::u16string reason, SignatureCheck check = {}) {
    check.status = status;
    check.reason = std::move(reason);
    return check;
}

}  // namespace

std::string FormatPublicKey(const EcdsaPublicKey& key) { return kPublicPrefix + Base64(key.data(), key.size()); }

bool ParsePublicKey(const std::string& text, EcdsaPublicKey& key) {
    return text.compare(0, sizeof kPublicPrefix - 1, kPublicPrefix) == 0 &&
           Unbase64(text.substr(sizeof kPublicPrefix - 1), key.data(), key.size());
}

bool ParsePublicKeys(const std::string& text, std::vector<EcdsaPublicKey>& keys) {
    keys.clear();
    for (std::size_t start = 0;;) {
        const std::size_t comma = text.find(',', start);
        keys.emplace_back();
        if (!ParsePublicKey(text.substr(start, comma - start), keys.back())) return keys.clear(), false;
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::string FormatPrivateKeyFile(const EcdsaPrivateKey& key) {
    std::uint8_t raw[96];
    std::copy(key.d.begin(), key.d.end(), raw);
    std::copy(key.publicKey.begin(), key.publicKey.end(), raw + 32);
    return "# Qelda package signing key (ECDSA P-256). Keep it secret, away from the build machine's repository.\n" +
           (kPrivatePrefix + Base64(raw, sizeof raw)) + "\n";
}

bool ParsePrivateKeyFile(const std::string& text, EcdsaPrivateKey& key) {
    const std::size_t at = text.find(std::string("\n") + kPrivatePrefix);
    if (at == std::string::npos) return false;
    std::string value = text.substr(at + 1 + sizeof kPrivatePrefix - 1);
    value = value.substr(0, value.find_first_of("\r\n"));
    std::uint8_t raw[96];
    if (!Unbase64(value, raw, sizeof raw)) return false;
    std::copy(raw, raw + 32, key.d.begin());
    std::copy(raw + 32, raw + 96, key.publicKey.begin());
    return true;
}

SignatureCheck CheckPackageSignature(FileSystem& fs, const std::u16string& path,
                                     const std::vector<EcdsaPublicKey>& keys) {
    std::unique_ptr<FsReadFile> file;
    FsResult r = fs.OpenForRead(path, file);
    if (!r) return Checked(SignatureStatus::Unreadable, r.message);
    return CheckPackageSignature(*file, keys);
}

SignatureCheck CheckPackageSignature(FileSystem& fs, const std::u16string& path, const EcdsaPublicKey& key) {
    return CheckPackageSignature(fs, path, std::vector<EcdsaPublicKey>{key});
}

SignatureCheck CheckPackageSignature(FsReadFile& file, const EcdsaPublicKey& key) {
    return CheckPackageSignature(file, std::vector<EcdsaPublicKey>{key});
}

SignatureCheck CheckPackageSignature(FsReadFile& file, const std::vector<EcdsaPublicKey>& keys) {
    Tail tail;
    bool found = false;
    FsResult r = ReadTail(file, tail, found);
    if (!r) return Checked(SignatureStatus::Unreadable, r.message);
    if (!tail.twoFaced.empty()) return Checked(SignatureStatus::Invalid, tail.twoFaced);
    if (!found) return Checked(SignatureStatus::Missing, u"not a ZIP archive that ends in its end record");
    if (tail.block == std::string::npos) return Checked(SignatureStatus::Missing, u"the package is not signed");
    SignatureCheck check;
    EcdsaSignature signature;
    if (!ParseBlock(tail.comment.substr(tail.block), check, signature))
        return Checked(SignatureStatus::Malformed, u"the signature block is damaged");
    Sha256 hash;
    Sha256Digest bytes, digest;
    r = Copy(file, tail.endRecord + kEndRecord + tail.block, hash, nullptr);
    if (!r) return Checked(SignatureStatus::Unreadable, r.message, check);
    if (!hash.Finish(bytes) || !StatementDigest(check.product, check.version, bytes, digest) ||
        std::none_of(keys.begin(), keys.end(), [&](const EcdsaPublicKey& key) {
            return EcdsaVerify(key, digest, signature);
        }))
        return Checked(SignatureStatus::Invalid, u"the signature does not match this package under any of the keys",
                       check);
    return Checked(SignatureStatus::Valid, u"", check);
}

SignResult SignPackage(FileSystem& fs, const std::u16string& path, const EcdsaPrivateKey& key,
                       const std::u16string& version, const std::u16string& product) {
    auto refused = [](std::u16string why) { return SignResult{SignStatus::Refused, std::move(why)}; };
    auto failed = [](const FsResult& r) { return SignResult{SignStatus::IoError, r.message}; };
    if (!GoodVersion(version) || !GoodVersion(product))
        return refused(u"the version must be 1 to 256 characters without control characters");
    EntryList entries;
    {
        CZipArchive archive;
        archive.SetFileSystem(&fs);
        ZipResult opened = archive.Open(path);
        if (opened.status == ZipStatus::FileError) return SignResult{SignStatus::IoError, opened.ToText()};
        if (!opened) return refused(opened.ToText());
        InstallResult verdict = VerifyPackage(archive);
        if (!verdict.ok()) return refused(verdict.reason);
        entries = Entries(archive);
    }
    std::unique_ptr<FsReadFile> in;
    Tail tail;
    bool found = false;
    FsResult r = fs.OpenForRead(path, in);
    if (r) r = ReadTail(*in, tail, found);
    if (!r) return failed(r);
    if (!found) return refused(u"bytes follow the archive's end record");
    const std::string comment = tail.comment.substr(0, tail.block);  // without an earlier signature
    EcdsaSignature placeholder{};
    const std::size_t length = comment.size() + Block(product, version, placeholder).size();
    if (length > 0xFFFF) return refused(u"the archive comment would grow beyond 65535 bytes");

    // The signed copy is made beside the package and replaces it in one step.
    const std::u16string temporary = path + u".signing";
    fs.RemoveFile(temporary);
    std::unique_ptr<FsWriteFile> out;
    if (r = fs.CreateNewFile(temporary, out); !r) return failed(r);
    Sha256 hash;
    Sha256Digest bytes, digest;
    EcdsaSignature signature;
    std::string why;
    const char header[2] = {static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)};
    const std::string rest = std::string(header, 2) + comment;
    r = Copy(*in, tail.endRecord + 20, hash, out.get());
    if (r && !hash.Update(rest.data(), rest.size())) r = FsResult::Fail(FsCode::Other, u"cannot compute SHA-256");
    if (r) r = out->Write(rest.data(), rest.size());
    SignResult result;
    if (r && (!hash.Finish(bytes) || !StatementDigest(product, version, bytes, digest) ||
              !EcdsaSign(key, digest, signature, why)))
        result = refused(Utf8ToUtf16(why.empty() ? "cannot compute SHA-256" : why));
    const std::string block = Block(product, version, signature);
    if (r && result.status == SignStatus::Signed) r = out->Write(block.data(), block.size());
    if (r && result.status == SignStatus::Signed) r = out->Finish(true);
    out.reset();
    in.reset();
    // The package itself is replaced only once its copy reads back right: a refusal leaves it as it was.
    if (r && result.status == SignStatus::Signed)
        result = ReadBack(fs, temporary, tail.endRecord, entries, key.publicKey);
    if (r && result.status == SignStatus::Signed) r = fs.Replace(temporary, path);
    if (!r || result.status != SignStatus::Signed) fs.RemoveFile(temporary);
    return r ? result : failed(r);
}
