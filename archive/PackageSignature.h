// Packages that only the publisher could have made.
//
// A signed package is an ordinary ZIP archive whose comment ends with a block
// of text, the last bytes of the file:
//
//   -----BEGIN QELDA PACKAGE SIGNATURE-----
//   product: Qelda
//   version: 2.0
//   signature: <base64 of the ECDSA P-256 signature, r and s>
//   -----END QELDA PACKAGE SIGNATURE-----
//
// (lines end in "\n"). What is signed is the statement
//
//   Qelda package signature 1\n
//   product: <product>\n
//   version: <version>\n
//   sha256: <hex SHA-256 of every byte of the file before the block>\n
//
// so any changed or appended byte, another product or another version makes
// the signature invalid, while every ZIP tool still reads the package and an
// updater without a key installs it as before. The block holds only text that
// cannot form a ZIP record, so all a reader finds lies in the signed bytes;
// an archive that another end record could end, before the block or after
// it, is refused by the reader (FindZipEndRecord), and so by this check.
//
// Key texts: the public key is "ecdsa-p256:" and the base64 of X and Y; a
// build (UPDATE_PUBLIC_KEY) and update-tool's --public-key take one or more
// of them separated by commas, for a change of key: whatever any of them
// signed is accepted. A private key file holds a comment line and
// "ecdsa-p256-private:" with the base64 of d, X and Y.
#pragma once

#include <string>
#include <vector>

#include "Crypto.h"
#include "FileSystem.h"

// The product every package and manifest of this updater names.
extern const char16_t kPackageProduct[];

std::string FormatPublicKey(const EcdsaPublicKey& key);
bool ParsePublicKey(const std::string& text, EcdsaPublicKey& key);
// "KEY[,KEY...]": true only when every key reads (no spaces, no empty item).
bool ParsePublicKeys(const std::string& text, std::vector<EcdsaPublicKey>& keys);
std::string FormatPrivateKeyFile(const EcdsaPrivateKey& key);
bool ParsePrivateKeyFile(const std::string& text, EcdsaPrivateKey& key);

enum class SignatureStatus {
    Valid,
    Missing,     // no signature block (or the file does not end in a ZIP end record)
    Malformed,   // a block that does not read as one
    Invalid,     // the signature does not match the key, or the bytes
    Unreadable,  // the file could not be read
};

struct SignatureCheck {
    SignatureStatus status = SignatureStatus::Missing;
    std::u16string product;  // as the block names them, once it reads
    std::u16string version;
    std::u16string reason;   // one line of English when not valid

    bool ok() const { return status == SignatureStatus::Valid; }
    // Valid, and for this product and version exactly.
    bool SignedFor(const std::u16string& forProduct, const std::u16string& forVersion) const {
        return ok() && product == forProduct && version == forVersion;
    }
};

// Valid when any of `keys` made the signature (an empty list, never).
SignatureCheck CheckPackageSignature(FileSystem& fs, const std::u16string& path,
                                     const std::vector<EcdsaPublicKey>& keys);
// The same over a file the caller holds open (FileSystem::OpenExclusive), so
// that the bytes checked are the bytes then installed from the same handle.
SignatureCheck CheckPackageSignature(FsReadFile& file, const std::vector<EcdsaPublicKey>& keys);
SignatureCheck CheckPackageSignature(FileSystem& fs, const std::u16string& path, const EcdsaPublicKey& key);
SignatureCheck CheckPackageSignature(FsReadFile& file, const EcdsaPublicKey& key);

enum class SignStatus { Signed, Refused, IoError };

struct SignResult {
    SignStatus status = SignStatus::Signed;
    std::u16string reason;
};

// Signs the package in place for `product` and `version`, replacing a
// signature it already has. A package the updater would refuse (or whose
// comment would grow too long) is refused, and the file is left as it was;
// so it is after any failure. The signed copy is made beside the package and
// must read back by the same end record, with the same entries, before it
// replaces the package: a comment hiding a record that the block would make
// the last one is refused so.
SignResult SignPackage(FileSystem& fs, const std::u16string& path, const EcdsaPrivateKey& key,
                       const std::u16string& version, const std::u16string& product = kPackageProduct);
