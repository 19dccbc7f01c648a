// The recorder: what identification and the transfers saw, kept by instrument.
#include "recording/Recorder.h"

#include "recording/RecordingFile.h"

#include "platform/ExceptionBoundary.h"

#include <cstdlib>

namespace ostrel::recording {
namespace {

// The bench matches a command without the line end it was written with.
std::string_view Command(std::string_view written)
{
    if (!written.empty() && written.back() == '\n')
        written.remove_suffix(1);
    if (!written.empty() && written.back() == '\r')
        written.remove_suffix(1);
    return written;
}

} // namespace

Recorder *Recorder::Active()
{
    static Recorder *const active = [] {
        const char *file = std::getenv("OSTREL_RECORD");
        Recorder *created = nullptr;
        if (file == nullptr || *file == '\0')
            return created;
        CatchAll([&] { created = new Recorder(file); }, [] {});
        // Never destroyed, and written once more as the process ends (or as
        // the library is unloaded) for a program that never calls uninit.
        if (created != nullptr)
            std::atexit(SaveAtExit);
        return created;
    }();
    return active;
}

void Recorder::Identified(Instrument found)
{
    std::lock_guard<std::mutex> lock(mutex);
    // The same instrument found again (a new session, a replug) keeps what
    // was said to it before, and its address when it was not asked again.
    Instrument &known = instruments[found.path];
    found.commands.swap(known.commands);
    if (!found.askedAddress && known.askedAddress) {
        found.askedAddress = true;
        found.address = known.address;
    }
    known = std::move(found);
    open.erase(known.path);
    ++changes;
}

void Recorder::Wrote(const std::string &path, std::string_view bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto instrument = instruments.find(path);
    if (instrument == instruments.end())
        return;
    std::vector<Turn> &turns = instrument->second.commands[std::string(Command(bytes))];
    turns.emplace_back();
    open[path] = Open{&turns, Clock::now()};
    ++changes;
}

void Recorder::Read(const std::string &path, std::string_view bytes)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    auto reading = open.find(path);
    if (reading == open.end() || bytes.empty())
        return;
    Turn &turn = reading->second.turns->back();
    // The reply was there by the time the read returned; if the program read
    // late, it was there earlier, and the bench answering by then is enough.
    if (turn.bytes.empty())
        turn.delayMs = static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - reading->second.wroteAt).count());
    turn.bytes.append(bytes);
    ++changes;
}

void Recorder::Save()
{
    std::lock_guard<std::mutex> saving(savingMutex);
    Write(std::unique_lock<std::mutex>(mutex));
}

// As the process ends, other threads may have been stopped holding a lock
// (Windows ends them before it unloads the DLL): then nothing is written
// rather than waiting for ever.
void Recorder::SaveAtExit()
{
    Recorder *recorder = Active();
    std::unique_lock<std::mutex> saving(recorder->savingMutex, std::try_to_lock);
    std::unique_lock<std::mutex> data(recorder->mutex, std::try_to_lock);
    if (saving && data)
        recorder->Write(std::move(data));
}

// A recording that cannot be written says so once, and is not tried again.
void Recorder::Write(std::unique_lock<std::mutex> data)
{
    if (failed || (tried && changes == saved))
        return;
    tried = true;
    saved = changes;
    const std::string text = BenchFileText(instruments);
    data.unlock();
    failed = !WriteWhole(file, text);
}

} // namespace ostrel::recording
