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

// Whatever a line for people repeats from the input - a name, a version, a
// path, an argument, a reason or parser message that holds one - goes through
// QuoteText: in double quotes, \" \\ \n \r \t escaped, every character
// ShownEscaped names as \uXXXX, the rest as UTF-8. So a name cannot end the
// line, forge the next one or drive the terminal. (UTF-8 that does not decode
// shows U+FFFD.)
std::string QuoteText(const std::u16string& text);
std::string QuoteText(const std::string& utf8);
// Never written raw, neither in lines for people nor in JSON: C0 and C1
// controls, DEL, the line and paragraph separators, and the bidirectional
// marks, embeddings, overrides and isolates that reorder what a terminal
// shows. (Unpaired surrogates are escaped too, by both writers.)
bool ShownEscaped(char16_t c);
void PrintCommandUsage(std::FILE* stream, const ToolCommand& command);
// The usage error for a --public-key whose value ParsePublicKeys refuses.
extern const char kPublicKeyUsage[];
int UsageError(ToolContext& context, const ToolCommand& command, const std::string& message);
