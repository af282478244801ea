// update-tool: the console tool for the people who publish updates.
//
// RunTool dispatches the first argument through a table of subcommands;
// each subcommand parses its own options. The platform entry points
// (main.cpp, main_win.cpp) hand over the arguments as UTF-8, the standard
// streams in binary mode and a way to open a file by its UTF-8 name. All
// output is UTF-8 written with fwrite; nothing here depends on the platform.
#pragma once

#include <cstdio>
#include <string>
#include <vector>
#include "TextQuoting.h"

enum ToolExit {
    kExitOk = 0,        // the input was read (whatever it held)
    kExitInput = 1,     // the input could not be read or decoded, or an I/O error; one line on stderr
    kExitUsage = 2,     // bad command line; usage on stderr
    kExitStrict = 3,    // a manifest refused under --strict, a package refused or not validly signed
};

struct ToolContext {
    std::FILE* in;
    std::FILE* out;
    std::FILE* err;
    // Opens a regular file for reading in binary mode, never waiting (a FIFO or
    // a device is refused); null with the system's reason on failure.
    std::FILE* (*openFile)(const std::string& utf8Path, std::string& why);
    // Writes a new file that only its owner may read; never over an existing
    // one. False with a reason on failure (nothing is left behind).
    bool (*writeSecretFile)(const std::string& utf8Path, const std::string& data, std::string& why);
};

struct ToolCommand {
    const char* name;
    const char* synopsis;     // options and operands, after the command name
    const char* description;  // indented help text, may span lines
    int (*run)(const std::vector<std::string>& args, ToolContext& context);
};

// args excludes the program name.
int RunTool(const std::vector<std::string>& args, ToolContext& context);

// Helpers shared by the subcommands.
void WriteText(std::FILE* stream, const std::string& text);

void PrintCommandUsage(std::FILE* stream, const ToolCommand& command);
// The usage error for a --public-key whose value ParsePublicKeys refuses.
extern const char kPublicKeyUsage[];
int UsageError(ToolContext& context, const ToolCommand& command, const std::string& message);
