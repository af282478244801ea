// Update manifests that only the publisher could have made, and only for a
// while.
//
// A signed manifest is the manifest followed by one XML comment, the block:
//
//   <!-- Qelda manifest signature
//   product: Qelda
//   signed-at: 2026-12-07T04:33:22Z
//   expires: 2027-01-06T04:33:22Z
//   signature: <base64 of the ECDSA P-256 signature, r and s>
//   -->
//
// (lines end in "\n"; the times are UTC), written in the manifest's own
// encoding as TextDecoding.h decides it (UTF-8 with or without a byte-order
// mark, UTF-16 LE or BE). Only white space may follow the block; the signer
// writes one "\n" after it, and one before it when the manifest did not end a
// line. What is signed is the statement
//
//   Qelda manifest signature 1\n
//   product: <product>\n
//   signed-at: <signing time>\n
//   expires: <expiry>\n
//   sha256: <hex SHA-256 of every byte of the file before the block>\n
//
// whose first line no package statement (PackageSignature.h) has, so that a
// package signature never verifies as a manifest signature, nor the reverse.
//
// The block is only a comment after the root element: the updater's reader
// (ReadManifest), update-tool and any XML parser read the same records from
// the signed file as from the unsigned one, and the updater reads its records
// from the very bytes it checked. A manifest holding the block's first line
// more than once, or anything but white space after the block, is Malformed.
//
// Keys and texts as for packages (PackageSignature.h). No state; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Crypto.h"
#include "PackageSignature.h"

// How far ahead of the checking clock a signing time may lie.
constexpr std::int64_t kManifestClockSkew = 24 * 60 * 60;

enum class ManifestSignatureStatus {
    Valid,
    Missing,      // no block
    Malformed,    // a block that does not read, or not alone at the end; or a file that does not decode
    Invalid,      // no key made this signature of these bytes, or it is for another product
    Expired,      // now is at or past its expiry
    NotYetValid,  // signed more than kManifestClockSkew after now
};

struct ManifestSignatureCheck {
    ManifestSignatureStatus status = ManifestSignatureStatus::Missing;
    // As the block names them, once it reads (product is empty until then).
    std::u16string product;
    std::int64_t signedAt = 0;  // Unix seconds, UTC
    std::int64_t expires = 0;
    std::u16string reason;  // one line of English when not valid

    bool ok() const { return status == ManifestSignatureStatus::Valid; }
};

// Valid needs a well-formed block at the end, product Qelda, a signature by
// any of `keys` over exactly the bytes before the block, now < expires and
// signedAt <= now + kManifestClockSkew. Whether the signing time is older
// than one accepted before (a manifest replayed) is for the caller to judge.
ManifestSignatureCheck CheckManifestSignature(const std::string& bytes, const std::vector<EcdsaPublicKey>& keys,
                                              std::int64_t now);

// "valid", "missing", "malformed", "invalid", "expired", "not-yet-valid".
const char* ManifestSignatureStatusName(ManifestSignatureStatus status);

// Signs the manifest `bytes` for Qelda at `signedAt` for `validDays` days,
// replacing a block already at its end: `signedBytes` is then the manifest
// with its new block. Refused (and `signedBytes` untouched) when the bytes do
// not decode, hold a block elsewhere or more than one, when the times cannot
// be written (before 1970 or after 9999) or the key's halves do not belong
// together. Whether the bytes are a manifest worth signing is the caller's
// question (update-tool sign-manifest asks it).
SignResult SignManifest(const std::string& bytes, const EcdsaPrivateKey& key, std::int64_t signedAt,
                        std::int64_t validDays, std::string& signedBytes);

// "YYYY-MM-DDTHH:MM:SSZ" for Unix seconds from 1970 to the end of 9999; and
// back, exactly that form of a real time in those years, or false.
std::string FormatUtcTime(std::int64_t seconds);
bool ParseUtcTime(const std::string& text, std::int64_t& seconds);
