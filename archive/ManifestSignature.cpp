#include "ManifestSignature.h"

#include <algorithm>
#include <cstdio>

#include "CString.h"
#include "SignatureText.h"
#include "TextDecoding.h"

namespace {

const char16_t kMarker[] = u"<!-- Qelda manifest signature";
const std::int64_t kDay = 24 * 60 * 60;
const std::int64_t kFirst = 0;                 // 1970-01-01T00:00:00Z
const std::int64_t kEnd = 253402300800;        // 10000-01-01T00:00:00Z

bool IsWhite(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Letters, digits, spaces, "." and "_": nothing that could end the comment or a line.
bool GoodProduct(const std::u16string& product) {
    return !product.empty() && product.size() <= 64 && std::all_of(product.begin(), product.end(), [](char16_t c) {
               return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                      c == u' ' || c == u'.' || c == u'_';
           });
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar (years from 1970).
std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = y / 400, yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// Where the block lies in the decoded text, and in the bytes.
struct Located {
    ManifestSignatureStatus status = ManifestSignatureStatus::Missing;  // Valid: found
    std::u16string reason;
    std::size_t start = 0;  // the block's "<" in the text
    std::size_t offset = 0; // and in the bytes
    std::string block;      // from "<!--" to "-->", ASCII
};

// One block, closed, with only white space after it, in ASCII: then the tail
// from the block on is one byte a character in UTF-8, two in UTF-16.
Located Locate(const std::string& bytes, const std::u16string& text, TextEncoding encoding) {
    Located at;
    auto malformed = [&at](std::u16string why) {
        at.status = ManifestSignatureStatus::Malformed;
        at.reason = std::move(why);
        return at;
    };
    at.start = text.find(kMarker);
    if (at.start == std::u16string::npos) return at.reason = u"the manifest is not signed", at;
    if (text.find(kMarker, at.start + 1) != std::u16string::npos)
        return malformed(u"the manifest holds more than one signature block");
    const std::size_t close = text.find(u"-->", at.start);
    if (close == std::u16string::npos) return malformed(u"the signature block is not closed");
    if (!std::all_of(text.begin() + static_cast<std::ptrdiff_t>(close + 3), text.end(), IsWhite))
        return malformed(u"more than white space follows the signature block");
    for (std::size_t i = at.start; i < close + 3; ++i) {
        if (text[i] >= 0x80) return malformed(u"the signature block is damaged");
        at.block += static_cast<char>(text[i]);
    }
    const bool wide = encoding == TextEncoding::Utf16Le || encoding == TextEncoding::Utf16Be;
    at.offset = bytes.size() - (text.size() - at.start) * (wide ? 2 : 1);
    at.status = ManifestSignatureStatus::Valid;
    return at;
}

std::string Encoded(const std::string& ascii, TextEncoding encoding) {
    if (encoding != TextEncoding::Utf16Le && encoding != TextEncoding::Utf16Be) return ascii;
    std::string out;
    for (char c : ascii) out += encoding == TextEncoding::Utf16Le ? std::string{c, '\0'} : std::string{'\0', c};
    return out;
}

std::string Fields(const std::u16string& product, std::int64_t signedAt, std::int64_t expires) {
    return "product: " + Utf16ToUtf8(product) + "\nsigned-at: " + FormatUtcTime(signedAt) +
           "\nexpires: " + FormatUtcTime(expires) + "\n";
}

bool StatementDigest(const std::u16string& product, std::int64_t signedAt, std::int64_t expires,
                     const std::string& bytes, std::size_t size, Sha256Digest& digest) {
    Sha256 file, statement;
    Sha256Digest before;
    if (!file.Update(bytes.data(), size) || !file.Finish(before)) return false;
    const std::string text =
        "Qelda manifest signature 1\n" + Fields(product, signedAt, expires) + "sha256: " + Hex(before) + "\n";
    return statement.Update(text.data(), text.size()) && statement.Finish(digest);
}

bool ParseBlock(const std::string& block, ManifestSignatureCheck& check, EcdsaSignature& signature) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start <= block.size();) {
        const std::size_t end = std::min(block.find('\n', start), block.size());
        lines.push_back(block.substr(start, end - start));
        start = end + 1;
    }
    auto field = [&](std::size_t i, const std::string& name, std::string& value) {
        return ReadField(lines[i], name, value);
    };
    std::string product, signedAt, expires, sig;
    if (lines.size() != 6 || Utf8ToUtf16(lines[0]) != kMarker || lines[5] != "-->" ||
        !field(1, "product: ", product) || !field(2, "signed-at: ", signedAt) || !field(3, "expires: ", expires) ||
        !field(4, "signature: ", sig) || !GoodProduct(Utf8ToUtf16(product)) ||
        !ParseUtcTime(signedAt, check.signedAt) || !ParseUtcTime(expires, check.expires) ||
        check.expires <= check.signedAt || !Unbase64(sig, signature.data(), signature.size()))
        return false;
    check.product = Utf8ToUtf16(product);
    return true;
}

ManifestSignatureCheck Checked(ManifestSignatureStatus status, std::u16string reason,
                               ManifestSignatureCheck check = {}) {
    check.status = status;
    check.reason = std::move(reason);
    return check;
}

}  // namespace

ManifestSignatureCheck CheckManifestSignature(const std::string& bytes, const std::vector<EcdsaPublicKey>& keys,
                                              std::int64_t now) {
    using Status = ManifestSignatureStatus;
    std::u16string text;
    TextEncoding encoding = TextEncoding::Utf8;
    std::string error;
    if (!DecodeText(bytes, text, encoding, error)) return Checked(Status::Malformed, Utf8ToUtf16(error));
    const Located at = Locate(bytes, text, encoding);
    if (at.status != Status::Valid) return Checked(at.status, at.reason);
    ManifestSignatureCheck check;
    EcdsaSignature signature;
    if (!ParseBlock(at.block, check, signature))
        return Checked(Status::Malformed, u"the signature block is damaged");
    Sha256Digest digest;
    if (!StatementDigest(check.product, check.signedAt, check.expires, bytes, at.offset, digest) ||
        std::none_of(keys.begin(), keys.end(), [&](const EcdsaPublicKey& key) {
            return EcdsaVerify(key, digest, signature);
        }))
        return Checked(Status::Invalid, u"the signature does not match this manifest under any of the keys", check);
    if (check.product != kPackageProduct)
        return Checked(Status::Invalid, u"signed for " + check.product + u", not " + kPackageProduct, check);
    if (check.signedAt > now + kManifestClockSkew)
        return Checked(Status::NotYetValid, u"signed at " + Utf8ToUtf16(FormatUtcTime(check.signedAt)) +
                                                u", more than a day after this clock's " +
                                                Utf8ToUtf16(FormatUtcTime(now)), check);
    if (now >= check.expires)
        return Checked(Status::Expired, u"expired at " + Utf8ToUtf16(FormatUtcTime(check.expires)), check);
    return Checked(Status::Valid, u"", check);
}

const char* ManifestSignatureStatusName(ManifestSignatureStatus status) {
    switch (status) {
    case ManifestSignatureStatus::Valid: return "valid";
    case ManifestSignatureStatus::Missing: return "missing";
    case ManifestSignatureStatus::Malformed: return "malformed";
    case ManifestSignatureStatus::Invalid: return "invalid";
    case ManifestSignatureStatus::Expired: return "expired";
    case ManifestSignatureStatus::NotYetValid: return "not-yet-valid";
    }
    return "?";
}

SignResult SignManifest(const std::string& bytes, const EcdsaPrivateKey& key, std::int64_t signedAt,
                        std::int64_t validDays, std::string& signedBytes) {
    auto refused = [](std::u16string why) { return SignResult{SignStatus::Refused, std::move(why)}; };
    const std::u16string product = kPackageProduct;
    if (signedAt < kFirst || signedAt >= kEnd || validDays < 1 || validDays > (kEnd - 1 - signedAt) / kDay)
        return refused(u"the signing time and expiry must lie between 1970 and the end of 9999");
    const std::int64_t expires = signedAt + validDays * kDay;
    std::u16string text;
    TextEncoding encoding = TextEncoding::Utf8;
    std::string error;
    if (!DecodeText(bytes, text, encoding, error)) return refused(Utf8ToUtf16(error));
    const Located old = Locate(bytes, text, encoding);
    if (old.status == ManifestSignatureStatus::Malformed) return refused(old.reason);
    const bool replacing = old.status == ManifestSignatureStatus::Valid;
    const std::size_t end = replacing ? old.start : text.size();
    std::string out = bytes.substr(0, replacing ? old.offset : bytes.size());
    if (end > 0 && text[end - 1] != u'\n') out += Encoded("\n", encoding);

    Sha256Digest digest;
    EcdsaSignature signature;
    std::string why = "cannot compute SHA-256";
    if (!StatementDigest(product, signedAt, expires, out, out.size(), digest) ||
        !EcdsaSign(key, digest, signature, why))
        return refused(Utf8ToUtf16(why));
    out += Encoded(Utf16ToUtf8(kMarker) + "\n" + Fields(product, signedAt, expires) + "signature: " +
                       Base64(signature.data(), signature.size()) + "\n-->\n",
                   encoding);
    if (!CheckManifestSignature(out, {key.publicKey}, signedAt).ok())
        return refused(u"the key's two halves do not belong together");
    signedBytes = std::move(out);
    return {};
}

std::string FormatUtcTime(std::int64_t seconds) {
    seconds = std::min(std::max(seconds, kFirst), kEnd - 1);
    const std::int64_t days = seconds / kDay + 719468;
    const std::int64_t era = days / 146097, doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2);
    const std::int64_t s = seconds % kDay;
    char out[21];
    const long parts[] = {static_cast<long>(y), static_cast<long>(m), static_cast<long>(d),
                          static_cast<long>(s / 3600), static_cast<long>(s / 60 % 60), static_cast<long>(s % 60)};
    std::snprintf(out, sizeof out, "%04ld-%02ld-%02ldT%02ld:%02ld:%02ldZ", parts[0], parts[1], parts[2], parts[3],
                  parts[4], parts[5]);
    return out;
}

bool ParseUtcTime(const std::string& text, std::int64_t& seconds) {
    const char form[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof form - 1) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (form[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != form[i]) return false;
    auto number = [&text](std::size_t at, std::size_t size) { return std::stoll(text.substr(at, size)); };
    const std::int64_t year = number(0, 4), month = number(5, 2), day = number(8, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1) return false;
    const std::int64_t value =
        DaysFromCivil(year, month, day) * kDay + number(11, 2) * 3600 + number(14, 2) * 60 + number(17, 2);
    // A day, hour, minute or second out of range lands on another time, written otherwise.
    if (FormatUtcTime(value) != text) return false;
    seconds = value;
    return true;
}
