#include "ArchiveCommands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Json.h"
#include "PackageSignature.h"

namespace {

const char kPackageDescription[] =
    "      Lists every entry of a ZIP package - name, size, compressed size,\n"
    "      method - and says whether the updater would install it or refuse it,\n"
    "      and why. Every entry is inflated and checked; nothing is written.\n"
    "      --json          print one JSON object instead of the listing\n"
    "      --codepage N    code page of names stored without the UTF-8 flag\n"
    "                      (default: the system's OEM code page; 437 outside\n"
    "                      Windows; Chinese Windows uses 936)\n"
    "      --public-key KEYS  also check the package's signature: KEYS is what\n"
    "                      keygen printed, or several such keys separated by\n"
    "                      commas (any of them may have signed); installable\n"
    "                      then also means validly signed for Qelda\n"
    "      --version V     with --public-key: signed for version V exactly\n"
    "      exit status: 0 installable (and signed), 3 refused (also not a ZIP\n"
    "      archive, or not validly signed), 1 unreadable (or the output cannot\n"
    "      be written), 2 usage error\n";

const char kExtractDescription[] =
    "      Installs the package's entries below DIR the way the updater does:\n"
    "      all or nothing, with every entry checked before anything is written.\n"
    "      DIR is created when it does not exist.\n"
    "      --codepage N    as for package\n"
    "      --no-sync       do not force the files to the disk before the commit\n"
    "      A delta package (see delta) is installed only over the files it was\n"
    "      made from.\n"
    "      exit status: 0 installed, 3 package refused, or a delta made for\n"
    "      other files (DIR unchanged), 1 file in use, ZIP unreadable or I/O\n"
    "      error (DIR unchanged), 2 usage error\n";

struct Options {
    bool json = false;
    bool signature = false;
    std::vector<EcdsaPublicKey> publicKeys;
    std::string version;
    bool flush = true;
    std::shared_ptr<const ZipNameDecoder> decoder;
    std::vector<std::string> operands;
};

// Parses the options both commands share; returns -1 to go on, else an exit status.
int ParseOptions(const std::vector<std::string>& args, ToolContext& context, const ToolCommand& command,
                 bool extract, Options& options) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-') {
            options.operands.push_back(arg);
            continue;
        }
        std::string codepage;
        if (arg == "--") {
            optionsEnded = true;
            continue;
        } else if (arg == "--help" || arg == "-h") {
            PrintCommandUsage(context.out, command);
            return kExitOk;
        } else if (arg == "--json" && !extract) {
            options.json = true;
            continue;
        } else if (arg == "--no-sync" && extract) {
            options.flush = false;
            continue;
        } else if ((arg == "--public-key" || arg == "--version") && !extract) {
            if (i + 1 >= args.size()) return UsageError(context, command, arg + " needs a value");
            const std::string& value = args[++i];
            if (arg == "--version") {
                if (value.empty()) return UsageError(context, command, "--version needs a version");
                options.version = value;
            } else if (!ParsePublicKeys(value, options.publicKeys)) {
                return UsageError(context, command, kPublicKeyUsage);
            } else {
                options.signature = true;
            }
            continue;
        } else if (arg == "--codepage") {
            if (i + 1 >= args.size()) return UsageError(context, command, "--codepage needs a number");
            codepage = args[++i];
        } else if (arg.compare(0, 11, "--codepage=") == 0) {
            codepage = arg.substr(11);
        } else {
            return UsageError(context, command, "unknown option " + QuoteText(arg));
        }
        char* end = nullptr;
        const unsigned long number = std::strtoul(codepage.c_str(), &end, 10);
        if (codepage.empty() || *end != '\0' || number == 0 || number > 65535)
            return UsageError(context, command, "--codepage needs a code page number, e.g. 936");
        options.decoder = MakeCodePageDecoder(static_cast<unsigned>(number));
        if (!options.decoder)
            return UsageError(context, command, "code page " + std::to_string(number) + " is not available here");
    }
    if (!options.version.empty() && !options.signature)
        return UsageError(context, command, "--version needs --public-key");
    return -1;
}

std::string ShownName(const CZipFileHeader& h) {
    if (h.IsNameDecoded()) return QuoteText(h.GetFileName());
    static const char hex[] = "0123456789abcdef";
    std::string out = "<undecodable:";
    for (unsigned char c : h.GetRawFileName()) {
        out += ' ';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out + ">";
}

std::string Notes(const CZipFileHeader& h) {
    std::string notes;
    auto add = [&](const char* note) {
        if (!notes.empty()) notes += ", ";
        notes += note;
    };
    if (h.IsDirectory()) add("folder");
    if (h.IsEncrypted()) add("encrypted");
    if (h.IsSpecialFile()) add("link or special file");
    if (!h.IsNameDecoded()) add("name not decodable");
    return notes;
}

std::string RightAligned(std::uint64_t value, std::size_t width) {
    std::string s = std::to_string(value);
    if (s.size() < width) s.insert(0, width - s.size(), ' ');
    return s;
}

// What a well-formed delta package does, in figures.
struct DeltaFigures {
    std::uint64_t wholeFiles = 0, wholeBytes = 0, patchBytes = 0, rebuiltBytes = 0;
    struct Patched {
        const DeltaPatch* patch;
        std::uint64_t patchSize;
    };
    std::vector<Patched> patched;
};

// False for a full package, or one that is refused.
bool ReadDelta(CZipArchive& archive, const InstallResult& verdict, PackagePlan& plan, DeltaFigures& figures) {
    if (!verdict.ok() || !CheckPackage(archive, plan).ok() || !plan.isDelta) return false;
    for (const PackagePlan::Item& item : plan.items) {
        const std::uint64_t size = archive.GetEntry(item.index)->GetUncompressedSize();
        if (item.patch != PackagePlan::kWhole) {
            figures.patched.push_back({&plan.delta.patches[item.patch], size});
            figures.patchBytes += size;
            figures.rebuiltBytes += plan.delta.patches[item.patch].size;
        } else if (!item.path.directory) {
            ++figures.wholeFiles;
            figures.wholeBytes += size;
        }
    }
    return true;
}

std::string Verdict(const InstallResult& verdict) {
    if (verdict.ok()) return "installable";
    return "refused: " + QuoteText(verdict.reason);
}

}  // namespace

const ToolCommand kPackageCommand = {"package", "[--json] [--codepage N] [--public-key KEYS [--version V]] ZIP",
                                     kPackageDescription, RunPackageCommand};
const ToolCommand kExtractCommand = {"extract", "[--codepage N] [--no-sync] ZIP DIR", kExtractDescription,
                                     RunExtractCommand};

std::string MethodName(unsigned method) {
    switch (method) {
    case 0: return "stored";
    case 8: return "deflate";
    case 9: return "deflate64";
    case 12: return "bzip2";
    case 14: return "lzma";
    case 93: return "zstd";
    case 95: return "xz";
    case 98: return "ppmd";
    case 99: return "aes";
    default: return "method-" + std::to_string(method);
    }
}

std::string PackageSummary(CZipArchive& archive, const InstallResult& verdict, const std::string& shownName) {
    std::string out = "package: " + QuoteText(shownName) + " (" + std::to_string(archive.GetArchiveSize()) +
                      " bytes, " + std::to_string(archive.GetCount()) + " entries)\n";
    out += "  method         size      packed  name\n";
    std::uint64_t total = 0, packed = 0, files = 0, folders = 0;
    for (ZIP_INDEX_TYPE i = 0; i < archive.GetCount(); ++i) {
        const CZipFileHeader& h = *archive.GetEntry(i);
        std::string method = MethodName(h.GetMethod());
        method.resize(std::max<std::size_t>(method.size(), 9), ' ');
        out += "  " + method + RightAligned(h.GetUncompressedSize(), 10) + RightAligned(h.GetCompressedSize(), 12) +
               "  " + ShownName(h);
        const std::string notes = Notes(h);
        if (!notes.empty()) out += "  (" + notes + ")";
        out += '\n';
        total += h.GetUncompressedSize();
        packed += h.GetCompressedSize();
        (h.IsDirectory() ? folders : files) += 1;
    }
    out += "total: " + std::to_string(total) + " bytes (" + std::to_string(packed) + " packed) in " +
           std::to_string(files) + " files and " + std::to_string(folders) + " folders\n";
    PackagePlan plan;
    DeltaFigures delta;
    if (ReadDelta(archive, verdict, plan, delta)) {
        out += "delta: " + std::to_string(delta.patched.size()) + " patched (patches of " +
               std::to_string(delta.patchBytes) + " bytes make " + std::to_string(delta.rebuiltBytes) + "), " +
               std::to_string(delta.wholeFiles) + " stored whole (" + std::to_string(delta.wholeBytes) + " bytes), " +
               std::to_string(plan.delta.removals.size()) + " removed\n";
        for (const auto& [p, patchSize] : delta.patched)
            out += "  patched  " + QuoteText(p->path) + (p->base != p->path ? " from " + QuoteText(p->base) : "") +
                   ": " + std::to_string(p->size) + " bytes from a patch of " + std::to_string(patchSize) + "\n";
        for (const std::u16string& path : plan.delta.removals) out += "  removed  " + QuoteText(path) + "\n";
    }
    out += "verdict: " + Verdict(verdict) + "\n";
    return out;
}

std::string PackageJson(CZipArchive& archive, const InstallResult& verdict, const std::string& shownName) {
    JsonWriter json;
    json.BeginObject();
    json.Key("package");
    json.String(Utf8ToUtf16(shownName));
    json.Key("size");
    json.Int(static_cast<std::int64_t>(archive.GetArchiveSize()));
    json.Key("readable");
    json.Bool(true);
    json.Key("entries");
    json.BeginArray();
    for (ZIP_INDEX_TYPE i = 0; i < archive.GetCount(); ++i) {
        const CZipFileHeader& h = *archive.GetEntry(i);
        json.BeginObject();
        json.Key("name");
        if (h.IsNameDecoded()) json.String(h.GetFileName());
        else json.Null();
        json.Key("size");
        json.Int(static_cast<std::int64_t>(h.GetUncompressedSize()));
        json.Key("compressedSize");
        json.Int(static_cast<std::int64_t>(h.GetCompressedSize()));
        json.Key("method");
        json.String(Utf8ToUtf16(MethodName(h.GetMethod())));
        json.Key("crc32");
        json.Int(h.GetCrc());
        json.Key("folder");
        json.Bool(h.IsDirectory());
        json.Key("encrypted");
        json.Bool(h.IsEncrypted());
        json.Key("utf8Name");
        json.Bool(h.IsUtf8Name());
        json.EndObject();
    }
    json.EndArray();
    json.Key("delta");
    PackagePlan plan;
    DeltaFigures delta;
    if (ReadDelta(archive, verdict, plan, delta)) {
        json.BeginObject();
        json.Key("patched");
        json.BeginArray();
        for (const auto& [p, patchSize] : delta.patched) {
            json.BeginObject();
            json.Key("path");
            json.String(p->path);
            json.Key("from");
            json.String(p->base);
            json.Key("size");
            json.Int(static_cast<std::int64_t>(p->size));
            json.Key("patchSize");
            json.Int(static_cast<std::int64_t>(patchSize));
            json.EndObject();
        }
        json.EndArray();
        json.Key("removed");
        json.BeginArray();
        for (const std::u16string& path : plan.delta.removals) json.String(path);
        json.EndArray();
        for (const auto& [key, value] : {std::pair{"wholeFiles", delta.wholeFiles}, {"wholeBytes", delta.wholeBytes},
                                         {"patchBytes", delta.patchBytes}, {"rebuiltBytes", delta.rebuiltBytes}}) {
            json.Key(key);
            json.Int(static_cast<std::int64_t>(value));
        }
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("installable");
    json.Bool(verdict.ok());
    json.Key("status");
    json.String(Utf8ToUtf16(verdict.ok() ? "installable" : ZipStatusName(verdict.archive.status)));
    json.Key("reason");
    if (verdict.ok()) json.Null();
    else json.String(verdict.reason);
    json.Key("entry");
    if (!verdict.ok() && verdict.archive.entry != ZipResult::kNoEntry) json.Int(static_cast<std::int64_t>(verdict.archive.entry));
    else json.Null();
    json.Key("offset");
    if (!verdict.ok()) json.Int(static_cast<std::int64_t>(verdict.archive.offset));
    else json.Null();
    json.EndObject();
    return json.Text() + "\n";
}

int RunPackageCommand(const std::vector<std::string>& args, ToolContext& context) {
    Options options;
    const int parsed = ParseOptions(args, context, kPackageCommand, false, options);
    if (parsed >= 0) return parsed;
    if (options.operands.size() != 1)
        return UsageError(context, kPackageCommand, options.operands.empty() ? "no ZIP given" : "more than one ZIP given");
    const std::string& path = options.operands[0];

    CZipArchive archive;
    archive.SetNameDecoder(options.decoder);
    const ZipResult opened = archive.Open(Utf8ToUtf16(path));
    if (!opened) {
        if (options.json) {
            JsonWriter json;
            json.BeginObject();
            json.Key("package");
            json.String(Utf8ToUtf16(path));
            json.Key("readable");
            json.Bool(false);
            json.Key("installable");
            json.Bool(false);
            json.Key("status");
            json.String(Utf8ToUtf16(ZipStatusName(opened.status)));
            json.Key("reason");
            json.String(opened.ToText());
            json.EndObject();
            WriteText(context.out, json.Text() + "\n");
        }
        WriteText(context.err, "update-tool package: " + QuoteText(path) + ": " + QuoteText(opened.ToText()) + "\n");
        // A file that reads but is no ZIP archive is refused, as the updater refuses it.
        return opened.status == ZipStatus::FileError ? kExitInput : kExitStrict;
    }
    InstallOptions installOptions;
    const InstallResult verdict = VerifyPackage(archive, installOptions);
    std::string out = options.json ? PackageJson(archive, verdict, path) : PackageSummary(archive, verdict, path);
    bool signedFor = true;
    if (options.signature) {
        const SignatureCheck check = CheckPackageSignature(PlatformFileSystem(), Utf8ToUtf16(path), options.publicKeys);
        signedFor = options.version.empty() ? check.SignedFor(kPackageProduct, check.version)
                                            : check.SignedFor(kPackageProduct, Utf8ToUtf16(options.version));
        const std::string signedAs = QuoteText(check.product) + " " + QuoteText(check.version);
        std::string line = check.ok() ? "valid for " + signedAs : "invalid: " + QuoteText(check.reason);
        if (check.ok() && !signedFor)
            line = "valid, but for " + signedAs + ", not " + QuoteText(kPackageProduct) +
                   (options.version.empty() ? "" : " " + QuoteText(options.version));
        if (options.json) {
            JsonWriter json;
            json.BeginObject();
            json.Key("signed");
            json.Bool(signedFor);
            json.Key("signatureVersion");
            if (check.ok()) json.String(check.version);
            else json.Null();
            json.Key("signature");
            json.String(Utf8ToUtf16(line));
            json.EndObject();
            // One object: the signature's fields join the listing's.
            out.erase(out.rfind('}'));
            out += "," + json.Text().substr(1) + "\n";
        } else {
            out += "signature: " + line + "\n";
        }
    }
    WriteText(context.out, out);
    if (std::fflush(context.out) != 0) {
        WriteText(context.err, "update-tool package: cannot write the output\n");
        return kExitInput;
    }
    return verdict.ok() && signedFor ? kExitOk : kExitStrict;
}

int RunExtractCommand(const std::vector<std::string>& args, ToolContext& context) {
    Options options;
    const int parsed = ParseOptions(args, context, kExtractCommand, true, options);
    if (parsed >= 0) return parsed;
    if (options.operands.size() != 2)
        return UsageError(context, kExtractCommand, options.operands.size() < 2 ? "ZIP and DIR needed" : "too many operands");
    const std::u16string package = Utf8ToUtf16(options.operands[0]);
    const std::u16string folder = Utf8ToUtf16(options.operands[1]);

    FileSystem& fs = PlatformFileSystem();
    FsInfo info;
    bool created = false;
    if (fs.Stat(folder, info) && !info.exists) {
        FsResult made = fs.MakeDirectory(folder, false);
        if (!made) {
            WriteText(context.err, "update-tool extract: " + QuoteText(made.message) + "\n");
            return kExitInput;
        }
        created = true;
    }
    InstallOptions installOptions;
    installOptions.nameDecoder = options.decoder;
    installOptions.flush = options.flush;
    const InstallResult r = InstallPackage(fs, package, folder, installOptions);
    if (!r.ok() && created) fs.RemoveEmptyDirectory(folder);
    switch (r.status) {
    case InstallStatus::Installed:
        if (!r.reason.empty()) WriteText(context.err, "update-tool extract: " + QuoteText(r.reason) + "\n");
        return kExitOk;
    case InstallStatus::Damaged:
    case InstallStatus::BaseMismatch:
        WriteText(context.err, "update-tool extract: refused: " + QuoteText(r.reason) + "\n");
        return kExitStrict;
    case InstallStatus::InUse:
        WriteText(context.err, "update-tool extract: file in use: " + QuoteText(r.path) + "\n");
        return kExitInput;
    case InstallStatus::IoError:
    case InstallStatus::Cancelled:
        WriteText(context.err, "update-tool extract: " + QuoteText(r.reason) + "\n");
        return kExitInput;
    }
    return kExitInput;
}
