// The tool's view of the instruments, through the public API only: discovery,
// the listing rows, naming an instrument by key or ID, and query round trips.
#pragma once

#include <string>
#include <vector>

namespace ostrel::tool {

struct Row {
    int id;
    std::string key;
    int model;
    int serial;
    std::string identity;
};

// Static discovery; IDs from ADDR? unless sequential.
std::vector<Row> Discover(unsigned productID, bool sequentialIDs);

// The instruments in the table now, in key order.
std::vector<Row> CurrentRows();

// An instrument named on the command line: by key if the table has that key,
// else by device ID if the text is a number.
struct Target {
    bool byKey = false;
    std::string key;
    int id = 0;
    std::string name; // as the user wrote it
};
bool Resolve(const std::string &text, const std::vector<Row> &rows, Target &target);

bool SendAscii(const Target &target, const std::string &command);
bool SendBinary(const Target &target, const std::vector<unsigned char> &bytes);
// One read: the reply text (line end cut), or false after the time-out.
bool ReadAscii(const Target &target, std::string &reply);
bool ReadBinary(const Target &target, std::vector<unsigned char> &reply);

// Prints one line per instrument (ID, key, model, serial, identity) after a
// heading, each line after `indent`.
void ShowTable(const std::vector<Row> &rows, const std::string &indent);

// "0A FF 00" <-> bytes; false for text that is not hex.
bool ParseHex(const std::vector<std::string> &words, std::vector<unsigned char> &bytes);
std::string FormatHex(const std::vector<unsigned char> &bytes);

} // namespace ostrel::tool
