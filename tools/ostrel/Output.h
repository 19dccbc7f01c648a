// How the tool writes: whole lines on stdout, messages on stderr, texts made short and bytes made hex.
#pragma once

#include <string>
#include <vector>

namespace ostrel::tool {

// Writes a line to stdout whole, also from the library's watcher thread.
void Say(const std::string &line);

// Prints "ostrel: <message>" on stderr; returns `status`.
int Fail(int status, const std::string &message);

// A command as messages quote it: whole when short, else its start and its length.
std::string Shorten(const std::string &text);

// "0A FF 00" <-> bytes (blanks between the digits are ignored); false for
// text that is not hex.
bool ParseHex(const std::vector<std::string> &words, std::string &bytes);
std::string FormatHex(const std::string &bytes);

// Local time with milliseconds: "2024-06-01 12:00:00.123".
std::string Timestamp();

} // namespace ostrel::tool
