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
    &kSignManifestCommand,
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
            "--strict), a manifest or package not validly signed (with --public-key), a package\n"
            "the updater would refuse, a package or manifest not signed (sign, sign-manifest),\n"
            "a package not installed (extract)\n";
    WriteText(stream, text);
}

}  // namespace

const char kPublicKeyUsage[] = "--public-key needs the text keygen printed, or several separated by commas";

void WriteText(std::FILE* stream, const std::string& text) {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stream);
}

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
