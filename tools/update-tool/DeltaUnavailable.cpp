// update-tool delta where its encoder's suffix sorting (libdivsufsort) is not
// at hand, as in the Windows build: the command says so. Installing deltas
// needs only the decoder, which every build has.
#include "DeltaCommand.h"

namespace {

const char kUnavailable[] =
    "      Not in this build: making deltas needs libdivsufsort, which this\n"
    "      build was made without. Use the native (Linux) update-tool.\n";

}  // namespace

const ToolCommand kDeltaCommand = {"delta", "OLD NEW OUT", kUnavailable, RunDeltaCommand};

int RunDeltaCommand(const std::vector<std::string>& args, ToolContext& context) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h"))
        return PrintCommandUsage(context.out, kDeltaCommand), kExitOk;
    return UsageError(context, kDeltaCommand, "not in this build");
}
