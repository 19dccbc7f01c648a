// What a program's session with its instruments looked like, kept while it
// runs when OSTREL_RECORD names a file, and written there as a bench file.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::recording {

// One turn of a command: the bytes read after it was written, until the next
// write to its instrument, and how long the first of them took to come.
struct Turn {
    std::string bytes;
    uint32_t delayMs = 0;
};

// One instrument as identification found it, and what the program said to it.
struct Instrument {
    uint16_t vendorID = 0;
    uint16_t productID = 0;
    std::string path;
    // The reply to "*IDN?" that identification agreed on, and the reply to
    // "ADDR?" when it asked (identification gives both the same answers each
    // time, so they are one reply each, not turns).
    std::string identity;
    std::string address;
    bool askedAddress = false;
    // Command (without its line end, as the bench matches it) -> its turns.
    std::map<std::string, std::vector<Turn>> commands;
};

class Recorder {
public:
    // The process's recorder, or null when OSTREL_RECORD is not set. The
    // environment is read by the first call only: after that, one test of a
    // pointer per transfer.
    static Recorder *Active();

    void Identified(Instrument found);
    void Wrote(const std::string &path, std::string_view bytes);
    void Read(const std::string &path, std::string_view bytes);
    // Writes the whole recording if anything was added since the last time.
    void Save();

private:
    using Clock = std::chrono::steady_clock;
    // Where an instrument's replies go now: the turn of its last command.
    struct Open {
        std::vector<Turn> *turns = nullptr;
        Clock::time_point wroteAt;
    };

    explicit Recorder(std::string file) : file(std::move(file)) {}
    static void SaveAtExit();
    // Holds savingMutex; `data` holds `mutex`.
    void Write(std::unique_lock<std::mutex> data);

    const std::string file;
    std::mutex mutex; // everything below
    std::map<std::string, Instrument> instruments; // by interface path
    std::map<std::string, Open> open;                // by interface path
    unsigned long long changes = 0;
    unsigned long long saved = 0; // `changes` when the file was last written
    bool tried = false;
    bool failed = false;          // under savingMutex
    std::mutex savingMutex;       // one writer of the file at a time
};

} // namespace ostrel::recording
