// Repeating untrusted text where people (or a log reader) will see it.
#pragma once

#include <string>

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
