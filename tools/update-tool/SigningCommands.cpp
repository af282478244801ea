// update-tool keygen and update-tool sign: the publisher's key and the
// signatures that make the updater install only the publisher's packages
// (PackageSignature.h has the format).
#include "SigningCommands.h"

#include <cerrno>
#include <cstring>

#include "CString.h"
#include "PackageSignature.h"

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

}  // namespace

const ToolCommand kKeygenCommand = {"keygen", "PRIVATE", kKeygenDescription, RunKeygenCommand};
const ToolCommand kSignCommand = {"sign", "--key PRIVATE --version V ZIP", kSignDescription, RunSignCommand};

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
    std::string text;
    EcdsaPrivateKey key;
    FsResult read = ReadWholeFile(fs, Utf8ToUtf16(values[0]), text, 1 << 16);
    if (!read) return Failed(context, "sign", QuoteText(read.message), kExitInput);
    if (!ParsePrivateKeyFile(text, key))
        return Failed(context, "sign", QuoteText(values[0]) + ": not a private key file", kExitInput);
    const SignResult r = SignPackage(fs, Utf8ToUtf16(operands[0]), key, Utf8ToUtf16(values[1]));
    switch (r.status) {
    case SignStatus::Signed: return kExitOk;
    case SignStatus::Refused: return Failed(context, "sign", "refused: " + QuoteText(r.reason), kExitStrict);
    case SignStatus::IoError: break;
    }
    return Failed(context, "sign", QuoteText(r.reason), kExitInput);
}
