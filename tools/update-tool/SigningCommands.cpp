// update-tool keygen, sign and sign-manifest: the publisher's key and the
// signatures that make the updater take only the publisher's packages and
// manifests (PackageSignature.h and ManifestSignature.h have the formats).
#include "SigningCommands.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "CString.h"
#include "ManifestCommand.h"
#include "ManifestSignature.h"
#include "PackageSignature.h"
#include "TextFile.h"

namespace {

const char kKeygenDescription[] =
    "      Makes a new signing key: writes the private key to the new file\n"
    "      PRIVATE (never over an existing file; readable by its owner only)\n"
    "      and prints the public key, one line, for the build's\n"
    "      UPDATE_PUBLIC_KEY. Keep PRIVATE off the build machine's repository.\n"
    "      exit status: 0 done, 1 the file exists or cannot be written, or the\n"
    "      public key cannot be printed (PRIVATE is then removed), 2 usage\n";

const char kSignDescription[] =
    "      Signs the package in place for Qelda version V with the private key\n"
    "      in PRIVATE (signing again replaces the signature). A package the\n"
    "      updater would refuse is refused and left untouched.\n"
    "      exit status: 0 signed, 3 refused, 1 the key or the package unreadable\n"
    "      or the package unwritable, 2 usage\n";

const char kSignManifestDescription[] =
    "      Signs the manifest in place with the private key in PRIVATE, valid for\n"
    "      N days (1 to 36500) from the signing time: one XML comment at its end,\n"
    "      in its own encoding, that every reader passes over (signing again\n"
    "      replaces it). A manifest that manifest --strict refuses, or that holds\n"
    "      a signature block elsewhere than at its end, is refused and left\n"
    "      untouched.\n"
    "      --signed-at T   the signing time, YYYY-MM-DDTHH:MM:SSZ in UTC\n"
    "                      (default: now), for a manifest prepared ahead\n"
    "      exit status: 0 signed, 3 refused, 1 the key or the manifest\n"
    "      unreadable or the manifest unwritable, 2 usage\n";

// Collects operands and the options named in `valued` (each takes a value).
bool Parse(const std::vector<std::string>& args, std::vector<std::string> valued, std::vector<std::string>& values,
           std::vector<std::string>& operands, std::string& error) {
    values.assign(valued.size(), std::string());
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::size_t k = 0;
        while (k < valued.size() && args[i] != valued[k]) ++k;
        if (k < valued.size()) {
            if (i + 1 >= args.size()) return error = args[i] + " needs a value", false;
            values[k] = args[++i];
        } else if (!args[i].empty() && args[i][0] == '-') {
            return error = "unknown option " + QuoteText(args[i]), false;
        } else {
            operands.push_back(args[i]);
        }
    }
    return true;
}

int Failed(ToolContext& context, const char* command, const std::string& why, int status) {
    WriteText(context.err, std::string("update-tool ") + command + ": " + why + "\n");
    return status;
}

bool ReadKey(ToolContext& context, const char* command, const std::string& path, EcdsaPrivateKey& key) {
    std::string text;
    const FsResult read = ReadWholeFile(PlatformFileSystem(), Utf8ToUtf16(path), text, 1 << 16);
    if (!read) return Failed(context, command, QuoteText(read.message), kExitInput), false;
    if (!ParsePrivateKeyFile(text, key))
        return Failed(context, command, QuoteText(path) + ": not a private key file", kExitInput), false;
    return true;
}

// The manifest with its block, when it reads as manifest --strict wants it and, signed, reads the same; else why not.
std::string SignIfReadable(const std::string& bytes, const EcdsaPrivateKey& key, std::int64_t signedAt,
                           std::int64_t days, std::string& signedBytes) {
    std::u16string text;
    TextEncoding encoding = TextEncoding::Utf8;
    std::string error;
    if (!DecodeText(bytes, text, encoding, error)) return error;
    const ManifestReport report = AnalyseManifest(text, {});
    const std::string before = ManifestJson(report, {});
    if (!report.wellFormed) return "not well formed: " + Utf16ToUtf8(report.error);
    if (report.records.IsEmpty()) return "the manifest holds no update record";
    const SignResult r = SignManifest(bytes, key, signedAt, days, signedBytes);
    if (r.status != SignStatus::Signed) return Utf16ToUtf8(r.reason);
    if (!DecodeText(signedBytes, text, encoding, error) || ManifestJson(AnalyseManifest(text, {}), {}) != before)
        return "signed, the manifest would read otherwise";
    return "";
}

}  // namespace

const ToolCommand kKeygenCommand = {"keygen", "PRIVATE", kKeygenDescription, RunKeygenCommand};
const ToolCommand kSignCommand = {"sign", "--key PRIVATE --version V ZIP", kSignDescription, RunSignCommand};
const ToolCommand kSignManifestCommand = {"sign-manifest", "--key PRIVATE --valid-days N [--signed-at T] MANIFEST",
                                          kSignManifestDescription, RunSignManifestCommand};

int RunKeygenCommand(const std::vector<std::string>& args, ToolContext& context) {
    std::vector<std::string> values, operands;
    std::string error;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return PrintCommandUsage(context.out, kKeygenCommand), kExitOk;
    if (!Parse(args, {}, values, operands, error)) return UsageError(context, kKeygenCommand, error);
    if (operands.size() != 1) return UsageError(context, kKeygenCommand, "one PRIVATE file needed");
    EcdsaPrivateKey key;
    if (!EcdsaGenerateKey(key, error)) return Failed(context, "keygen", error, kExitInput);
    if (!context.writeSecretFile(operands[0], FormatPrivateKeyFile(key), error))
        return Failed(context, "keygen", QuoteText(operands[0]) + ": " + error, kExitInput);
    // A private key whose public half nobody saw could never be used: it is not kept.
    WriteText(context.out, FormatPublicKey(key.publicKey) + "\n");
    if (std::fflush(context.out) != 0 || std::ferror(context.out)) {
        error = "cannot write the public key: " + std::string(std::strerror(errno));
        const FsResult removed = PlatformFileSystem().RemoveFile(Utf8ToUtf16(operands[0]));
        error += removed ? "; " + QuoteText(operands[0]) + " removed"
                         : "; " + QuoteText(operands[0]) + " not removed: " + QuoteText(removed.message);
        return Failed(context, "keygen", error, kExitInput);
    }
    return kExitOk;
}

int RunSignCommand(const std::vector<std::string>& args, ToolContext& context) {
    std::vector<std::string> values, operands;
    std::string error;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return PrintCommandUsage(context.out, kSignCommand), kExitOk;
    if (!Parse(args, {"--key", "--version"}, values, operands, error)) return UsageError(context, kSignCommand, error);
    if (values[0].empty() || values[1].empty() || operands.size() != 1)
        return UsageError(context, kSignCommand, "--key, --version and one ZIP needed");
    FileSystem& fs = PlatformFileSystem();
    EcdsaPrivateKey key;
    if (!ReadKey(context, "sign", values[0], key)) return kExitInput;
    const SignResult r = SignPackage(fs, Utf8ToUtf16(operands[0]), key, Utf8ToUtf16(values[1]));
    switch (r.status) {
    case SignStatus::Signed: return kExitOk;
    case SignStatus::Refused: return Failed(context, "sign", "refused: " + QuoteText(r.reason), kExitStrict);
    case SignStatus::IoError: break;
    }
    return Failed(context, "sign", QuoteText(r.reason), kExitInput);
}

int RunSignManifestCommand(const std::vector<std::string>& args, ToolContext& context) {
    const ToolCommand& command = kSignManifestCommand;
    std::vector<std::string> values, operands;
    std::string error;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h"))
        return PrintCommandUsage(context.out, command), kExitOk;
    if (!Parse(args, {"--key", "--valid-days", "--signed-at"}, values, operands, error))
        return UsageError(context, command, error);
    if (values[0].empty() || values[1].empty() || operands.size() != 1)
        return UsageError(context, command, "--key, --valid-days and one MANIFEST needed");
    if (values[1].size() > 5 || values[1].find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(values[1]) < 1 || std::stoll(values[1]) > 36500)
        return UsageError(context, command, "--valid-days needs a whole number of days from 1 to 36500");
    std::int64_t signedAt = static_cast<std::int64_t>(std::time(nullptr));
    if (!values[2].empty() && !ParseUtcTime(values[2], signedAt))
        return UsageError(context, command, "--signed-at needs a UTC time YYYY-MM-DDTHH:MM:SSZ from 1970 to 9999");
    EcdsaPrivateKey key;
    if (!ReadKey(context, command.name, values[0], key)) return kExitInput;
    const std::string& path = operands[0];
    std::FILE* stream = context.openFile(path, error);
    std::string bytes;
    const bool read = stream && ReadAllBytes(stream, bytes, error);
    if (stream) std::fclose(stream);
    if (!read) return Failed(context, command.name, QuoteText(path) + ": " + QuoteText(error), kExitInput);
    std::string signedBytes;
    const std::string why = SignIfReadable(bytes, key, signedAt, std::stoll(values[1]), signedBytes);
    if (!why.empty()) return Failed(context, command.name, "refused: " + QuoteText(why), kExitStrict);

    // The signed copy is made beside the manifest and replaces it in one step.
    FileSystem& fs = PlatformFileSystem();
    const std::u16string target = Utf8ToUtf16(path), temporary = target + u".signing";
    fs.RemoveFile(temporary);
    FsResult r = WriteNewFile(fs, temporary, signedBytes);
    if (r) r = fs.Replace(temporary, target);
    if (!r) fs.RemoveFile(temporary);
    return r ? kExitOk : Failed(context, command.name, QuoteText(r.message), kExitInput);
}
