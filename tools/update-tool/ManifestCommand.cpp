#include "ManifestCommand.h"

#include <ctime>

#include "Json.h"
#include "ManifestReader.h"
#include "MarkupDocument.h"
#include "TextFile.h"

namespace {

const char kDescription[] =
    "      Reads an update manifest (FILE, or - for standard input) as the updater\n"
    "      reads it and prints whether it is well formed (or its first problem)\n"
    "      and every update record. The file may be UTF-8 with or without a\n"
    "      byte-order mark, or UTF-16 LE/BE with a byte-order mark; files that do\n"
    "      not decode cleanly, and files over 256 MiB, are refused.\n"
    "      --installed VERSION  also show the record chosen for that installed\n"
    "                           version and whether an update would be offered\n"
    "      --json               print one JSON object instead of the summary\n"
    "      --elements           also list the parser's element table\n"
    "      --strict             exit with 3 when the manifest is not well formed\n"
    "                           or yields no record\n"
    "      --public-key KEYS    also check the manifest's signature: KEYS is what\n"
    "                           keygen printed, or several such keys separated\n"
    "                           by commas (any of them may have signed); prints\n"
    "                           whether it is valid or why not, when it was\n"
    "                           signed and when it expires (UTC)\n"
    "      exit status: 0 read, 3 refused (with --strict) or, with --public-key,\n"
    "      the signature missing, damaged, invalid, not yet valid or expired,\n"
    "      1 unreadable or undecodable (or the output cannot be written), 2 usage\n"
    "      error\n";

}  // namespace

const ToolCommand kManifestCommand = {"manifest",
                                      "[--installed VERSION] [--json] [--elements] [--strict] [--public-key KEYS] FILE",
                                      kDescription, RunManifestCommand};

namespace {

struct FieldView {
    const char* name;
    const CString UPDATE_INFO::*member;
};

const FieldView kTextFields[] = {
    {"OldVer", &UPDATE_INFO::OldVer},         {"NewVer", &UPDATE_INFO::NewVer},
    {"NetUrl", &UPDATE_INFO::NetUrl},         {"LocalPath", &UPDATE_INFO::LocalPath},
    {"UpdateInfo", &UPDATE_INFO::UpdateInfo}, {"InfoUrl", &UPDATE_INFO::InfoUrl},
};

void WriteRecordJson(JsonWriter& json, const UPDATE_INFO& record) {
    json.BeginObject();
    for (const FieldView& field : kTextFields) {
        json.Key(field.name);
        json.String(record.*field.member);
    }
    json.Key("IsUpdate");
    json.Int(record.IsUpdate);
    json.EndObject();
}

std::string Padded(const char* label, std::size_t width) {
    std::string s = label;
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

void WriteSignatureJson(JsonWriter& json, const ManifestSignatureCheck& check) {
    const bool read = !check.product.empty();
    json.BeginObject();
    json.Key("status");
    json.String(Utf8ToUtf16(ManifestSignatureStatusName(check.status)));
    json.Key("reason");
    if (check.ok()) json.Null();
    else json.String(check.reason);
    json.Key("product");
    if (read) json.String(check.product);
    else json.Null();
    for (auto [key, time] : {std::pair{"signedAt", check.signedAt}, {"expires", check.expires}}) {
        json.Key(key);
        if (read) json.String(Utf8ToUtf16(FormatUtcTime(time)));
        else json.Null();
    }
    json.EndObject();
}

std::string SignatureSummary(const ManifestSignatureCheck& check) {
    std::string out = std::string("signature:   ") + ManifestSignatureStatusName(check.status) +
                      (check.ok() ? " for " + QuoteText(check.product) : ": " + QuoteText(check.reason)) + "\n";
    if (!check.product.empty())
        out += "signed at:   " + FormatUtcTime(check.signedAt) + "\nexpires:     " + FormatUtcTime(check.expires) +
               "\n";
    return out;
}

}  // namespace

ManifestReport AnalyseManifest(const std::u16string& text, const ManifestOptions& options) {
    ManifestReport report;
    {
        MarkupDocument document;
        report.wellFormed = document.Parse(text);
        report.error = document.ErrorText();
        if (options.elements) {
            const std::int32_t used = document.UsedCount();
            report.elements.reserve(used > 1 ? static_cast<std::size_t>(used - 1) : 0);
            for (std::int32_t i = 1; i < used; ++i) {
                const ElementRecord& r = document.Record(i);
                ElementRow row;
                row.index = i;
                row.name = document.TagWord(i);
                row.start = r.start;
                row.length = r.length;
                row.startTagLength = document.StartTagLength(i);
                row.endTagLength = document.EndTagLength(i);
                row.parent = r.parent;
                row.firstChild = r.firstChild;
                row.nextSibling = r.nextSibling;
                row.prevSibling = r.prevSibling;
                report.elements.push_back(row);
            }
        }
    }
    ReadManifest(CString(text), report.records);
    if (options.hasInstalled && SelectUpdateInfo(options.installed, report.records, report.selected)) {
        report.selectedIndex = SelectUpdateIndex(options.installed, report.records);
        report.offer = IsNewerVersion(options.installed, report.selected.NewVer);
    }
    return report;
}

std::string ManifestJson(const ManifestReport& report, const ManifestOptions& options) {
    JsonWriter json;
    json.BeginObject();
    json.Key("wellFormed");
    json.Bool(report.wellFormed);
    json.Key("error");
    json.String(report.error);
    json.Key("records");
    json.BeginArray();
    for (std::ptrdiff_t i = 0; i < report.records.GetCount(); ++i) WriteRecordJson(json, report.records[i]);
    json.EndArray();
    if (options.hasInstalled) {
        json.Key("installed");
        json.String(options.installed);
        json.Key("selected");
        if (report.selectedIndex >= 0) WriteRecordJson(json, report.selected);
        else json.Null();
        json.Key("offer");
        json.Bool(report.offer);
    }
    if (options.checkSignature) {
        json.Key("signature");
        WriteSignatureJson(json, report.signature);
    }
    if (options.elements) {
        json.Key("elements");
        json.BeginArray();
        for (const ElementRow& row : report.elements) {
            json.BeginObject();
            json.Key("index"); json.Int(row.index);
            json.Key("name"); json.String(row.name);
            json.Key("start"); json.Int(row.start);
            json.Key("length"); json.Int(row.length);
            json.Key("startTagLength"); json.Int(row.startTagLength);
            json.Key("endTagLength"); json.Int(row.endTagLength);
            json.Key("parent"); json.Int(row.parent);
            json.Key("firstChild"); json.Int(row.firstChild);
            json.Key("nextSibling"); json.Int(row.nextSibling);
            json.Key("prevSibling"); json.Int(row.prevSibling);
            json.EndObject();
        }
        json.EndArray();
    }
    json.EndObject();
    return json.Text() + "\n";
}

std::string ManifestSummary(const ManifestReport& report, const ManifestOptions& options, const std::string& source) {
    std::string out = "manifest:    " + source + "\n";
    if (report.wellFormed) out += "well formed: yes\n";
    else out += "well formed: no: " + QuoteText(report.error) + "\n";
    const std::ptrdiff_t count = report.records.GetCount();
    out += "records:     " + std::to_string(count) + "\n";
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const UPDATE_INFO& record = report.records[i];
        const std::string number = "  #" + std::to_string(i);
        bool first = true;
        for (const FieldView& field : kTextFields) {
            out += Padded(first ? number.c_str() : "", 6) + Padded(field.name, 12) + QuoteText(record.*field.member) + "\n";
            first = false;
        }
        out += Padded("", 6) + Padded("IsUpdate", 12) + std::to_string(record.IsUpdate) + "\n";
    }
    if (options.hasInstalled) {
        out += "installed:   " + QuoteText(options.installed) + "\n";
        if (report.selectedIndex < 0) {
            out += "selected:    none (no records)\n";
            out += "offer:       no\n";
        } else {
            const bool exact = CompareVersionText(options.installed, report.selected.OldVer) == 0;
            out += "selected:    #" + std::to_string(report.selectedIndex) +
                   (exact ? " (its OldVer equals the installed version)\n"
                          : " (no OldVer equals the installed version; first record with the greatest NewVer)\n");
            out += std::string("offer:       ") + (report.offer ? "yes (" : "no (") + QuoteText(options.installed) +
                   (report.offer ? " sorts before " : " does not sort before ") + QuoteText(report.selected.NewVer) +
                   ")\n";
        }
    }
    if (options.checkSignature) out += SignatureSummary(report.signature);
    if (options.elements) {
        out += "elements:    " + std::to_string(report.elements.size()) + "\n";
        for (const ElementRow& row : report.elements) {
            out += "  #" + std::to_string(row.index) + " " + QuoteText(row.name) + " start " + std::to_string(row.start) +
                   " length " + std::to_string(row.length) + " tags " + std::to_string(row.startTagLength) + "/" +
                   std::to_string(row.endTagLength) + " parent " + std::to_string(row.parent) + " first " +
                   std::to_string(row.firstChild) + " next " + std::to_string(row.nextSibling) + " prev " +
                   std::to_string(row.prevSibling) + "\n";
        }
    }
    return out;
}

int RunManifestCommand(const std::vector<std::string>& args, ToolContext& context) {
    ManifestOptions options;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        std::string installed;
        bool installedGiven = false;
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            PrintCommandUsage(context.out, kManifestCommand);
            return kExitOk;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--elements") {
            options.elements = true;
        } else if (arg == "--strict") {
            options.strict = true;
        } else if (arg == "--installed") {
            if (i + 1 >= args.size()) return UsageError(context, kManifestCommand, "--installed needs a VERSION");
            installed = args[++i];
            installedGiven = true;
        } else if (arg == "--public-key") {
            if (i + 1 >= args.size() || !ParsePublicKeys(args[++i], options.keys))
                return UsageError(context, kManifestCommand, kPublicKeyUsage);
            options.checkSignature = true;
        } else if (arg.compare(0, 12, "--installed=") == 0) {
            installed = arg.substr(12);
            installedGiven = true;
        } else {
            return UsageError(context, kManifestCommand, "unknown option " + QuoteText(arg));
        }
        if (installedGiven) {
            std::u16string version;
            std::size_t bad = 0;
            if (!DecodeUtf8Strict(installed, 0, version, bad))
                return UsageError(context, kManifestCommand, "--installed VERSION is not valid UTF-8");
            options.hasInstalled = true;
            options.installed = CString(version);
        }
    }
    if (operands.size() != 1) {
        return UsageError(context, kManifestCommand, operands.empty() ? "no FILE given" : "more than one FILE given");
    }
    const std::string& path = operands[0];
    const bool fromStdin = path == "-";
    const std::string shownName = fromStdin ? "standard input" : QuoteText(path);

    std::string bytes;
    std::string error;
    std::FILE* stream = fromStdin ? context.in : context.openFile(path, error);
    if (stream == nullptr) {
        WriteText(context.err, "update-tool manifest: cannot open " + shownName + ": " + error + "\n");
        return kExitInput;
    }
    const bool readOk = ReadAllBytes(stream, bytes, error);
    if (!fromStdin) std::fclose(stream);
    if (!readOk) {
        WriteText(context.err, "update-tool manifest: cannot read " + shownName + ": " + error + "\n");
        return kExitInput;
    }
    std::u16string text;
    TextEncoding encoding = TextEncoding::Utf8;
    if (!DecodeText(bytes, text, encoding, error)) {
        WriteText(context.err, "update-tool manifest: " + shownName + ": " + error + "\n");
        return kExitInput;
    }

    ManifestReport report = AnalyseManifest(text, options);
    if (options.checkSignature)
        report.signature = CheckManifestSignature(bytes, options.keys, static_cast<std::int64_t>(std::time(nullptr)));
    const std::string source = shownName + " (" + EncodingName(encoding) + ", " + std::to_string(bytes.size()) +
                               " bytes, " + std::to_string(text.size()) + " UTF-16 code units)";
    WriteText(context.out, options.json ? ManifestJson(report, options) : ManifestSummary(report, options, source));
    if (std::fflush(context.out) != 0) {
        WriteText(context.err, "update-tool manifest: cannot write the output\n");
        return kExitInput;
    }
    if (options.strict && (!report.wellFormed || report.records.IsEmpty())) return kExitStrict;
    return options.checkSignature && !report.signature.ok() ? kExitStrict : kExitOk;
}
