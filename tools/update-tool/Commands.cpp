#include "ArchiveCommands.h"
#include "DeltaCommand.h"
#include "ManifestCommand.h"
#include "SigningCommands.h"
#include "Tool.h"

#include "CString.h"

namespace {

// New subcommands join here.
const ToolCommand* const kCommands[] = {
    &kManifestCommand,
    &kPackageCommand,
    &kExtractCommand,
    &kDeltaCommand,
    &kKeygenCommand,
    &kSignCommand,
};

void PrintUsage(std::FILE* stream) {
    std::string text = "usage: update-tool COMMAND [OPTIONS] ...\n"
                       "       update-tool --help\n"
                       "\ncommands:\n";
    for (const ToolCommand* command : kCommands) {
        text += "\n  update-tool ";
        text += command->name;
        text += ' ';
        text += command->synopsis;
        text += '\n';
        text += command->description;
    }
    text += "\nexit status: 0 done; 1 input unreadable or undecodable, or an I/O error (the output\n"
            "too); 2 usage error; 3 refused: a manifest not well formed or without records (with\n"
            "--strict), a package the updater would refuse or, with --public-key, not validly\n"
            "signed, a package not signed (sign) or not installed (extract)\n";
    WriteText(stream, text);
}

}  // namespace

void WriteText(std::FILE* stream, const std::string& text) {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stream);
}

bool ShownEscaped(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string QuoteText(const std::u16string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t c = text[i];
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (ShownEscaped(c) || (c >= 0xD800 && c <= 0xDFFF && !pair)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
        } else {
            out += Utf16ToUtf8(pair ? text.substr(i++, 2) : std::u16string(1, c));
        }
    }
    return out + '"';
}

std::string QuoteText(const std::string& utf8) { return QuoteText(Utf8ToUtf16(utf8)); }

void PrintCommandUsage(std::FILE* stream, const ToolCommand& command) {
    WriteText(stream, std::string("usage: update-tool ") + command.name + " " + command.synopsis + "\n" +
                          command.description);
}

int UsageError(ToolContext& context, const ToolCommand& command, const std::string& message) {
    WriteText(context.err, "update-tool " + std::string(command.name) + ": " + message + "\n");
    PrintCommandUsage(context.err, command);
    return kExitUsage;
}

int RunTool(const std::vector<std::string>& args, ToolContext& context) {
    if (args.empty()) {
        WriteText(context.err, "update-tool: no command given\n");
        PrintUsage(context.err);
        return kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintUsage(context.out);
        return kExitOk;
    }
    for (const ToolCommand* command : kCommands) {
        if (args[0] == command->name) {
            const std::vector<std::string> rest(args.begin() + 1, args.end());
            return command->run(rest, context);
        }
    }
    WriteText(context.err, "update-tool: unknown command " + QuoteText(args[0]) + "\n");
    PrintUsage(context.err);
    return kExitUsage;
}
