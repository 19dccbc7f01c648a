// ostrel.hpp - the C++17 interface to Ostrel: values, exceptions, RAII event mode, over ostrel.h alone.
//
// Header-only: it calls nothing but the functions ostrel.h declares, so it works with every build of
// the library (Ostrel.dll, OstrelSim.dll, libostrel.so, libostrel-sim.so) and every compiler that
// builds C++17 (MSVC, MinGW, GCC, clang). It keeps no state of its own beyond what event mode and
// reads with a deadline need.
//
//     for (const ostrel::InstrumentInfo &info : ostrel::discover()) {
//         ostrel::Instrument instrument(info.key);
//         std::cout << info.key << ": " << instrument.query("*IDN?") << '\n';
//     }
//     ostrel::EventMode events([](const ostrel::Event &e) { std::cout << e.key << (e.arrived ? " +" : " -"); });
//
// Failures: every operation has a throwing form (read, query, ...) that throws ostrel::Error or one
// of its subclasses, naming the C call and the instrument, and a non-throwing form (try_read,
// try_query, ...) that returns an ostrel::Result holding the value or the failure. A program built
// without exceptions gets the non-throwing forms only. The library writes each failure's cause to
// its log as well.
#ifndef OSTREL_HPP
#define OSTREL_HPP

#include "ostrel.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
#define OSTREL_HPP_EXCEPTIONS 1
#else
#define OSTREL_HPP_EXCEPTIONS 0
#endif

namespace ostrel {

// ---- Errors -------------------------------------------------------------------------------------

enum class errc {
    no_such_instrument = 1, // the device table holds no instrument with that key or ID
    timeout,                // nothing (or not enough) came within the time-out
    instrument_gone,        // the instrument has left the device table since it was opened
    transfer_failed,        // the library refused the transfer; its log says why
    invalid_argument,       // the call cannot be expressed in the C API (a NUL in a command, ...)
    event_mode_busy,        // another EventMode of this program is running
    library_failed,         // the library could not be set up, or a listing kept changing
};

class ErrorCategory : public std::error_category {
public:
    const char *name() const noexcept override { return "ostrel"; }
    std::string message(int code) const override
    {
        switch (static_cast<errc>(code)) {
        case errc::no_such_instrument: return "no such instrument";
        case errc::timeout: return "time-out";
        case errc::instrument_gone: return "instrument gone";
        case errc::transfer_failed: return "transfer failed";
        case errc::invalid_argument: return "invalid argument";
        case errc::event_mode_busy: return "event mode already running";
        case errc::library_failed: return "library failed";
        }
        return "unknown error";
    }
};

inline const std::error_category &category() noexcept
{
    static const ErrorCategory instance;
    return instance;
}

inline std::error_code make_error_code(errc code) noexcept { return {static_cast<int>(code), category()}; }

} // namespace ostrel

namespace std {
template <>
struct is_error_code_enum<ostrel::errc> : true_type {};
} // namespace std

namespace ostrel {

// What went wrong: the error, the C function (or operation) that failed, the device key or ID it was
// about (empty if none), and why.
struct Failure {
    std::error_code code;
    std::string call;
    std::string instrument;
    std::string reason;

    std::string what() const { return call + (instrument.empty() ? "" : " [" + instrument + "]") + ": " + reason; }
};

#if OSTREL_HPP_EXCEPTIONS
// Every exception the interface throws (besides std::bad_alloc and std::system_error of a thread
// that could not start).
class Error : public std::system_error {
public:
    explicit Error(const Failure &failure)
        : std::system_error(failure.code, failure.what()), failure_(std::make_shared<const Failure>(failure))
    {
    }
    const char *what() const noexcept override { return text_.c_str(); }
    const std::string &call() const noexcept { return failure_->call; }
    const std::string &instrument() const noexcept { return failure_->instrument; }
    const Failure &failure() const noexcept { return *failure_; }

private:
    std::shared_ptr<const Failure> failure_;
    std::string text_ = failure_->what();
};
class NoSuchInstrument : public Error {
    using Error::Error;
};
class Timeout : public Error {
    using Error::Error;
};
class InstrumentGone : public Error {
    using Error::Error;
};

[[noreturn]] inline void raise(const Failure &failure)
{
    if (failure.code == errc::no_such_instrument)
        throw NoSuchInstrument(failure);
    if (failure.code == errc::timeout)
        throw Timeout(failure);
    if (failure.code == errc::instrument_gone)
        throw InstrumentGone(failure);
    throw Error(failure);
}
#endif

// The value of a non-throwing call, or its failure. value() throws the failure as raise() does.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : failure_(std::move(failure)) {}

    explicit operator bool() const noexcept { return value_.has_value(); }
    std::error_code error() const { return failure_ ? failure_->code : std::error_code(); }
    // Null when the call succeeded.
    const Failure *failure() const noexcept { return failure_ ? &*failure_ : nullptr; }
    T &operator*() & { return *value_; }
    const T &operator*() const & { return *value_; }
    T *operator->() { return &*value_; }
    const T *operator->() const { return &*value_; }
#if OSTREL_HPP_EXCEPTIONS
    T &value() &
    {
        if (failure_)
            raise(*failure_);
        return *value_;
    }
    T value() &&
    {
        if (failure_)
            raise(*failure_);
        return std::move(*value_);
    }
#endif

private:
    std::optional<T> value_;
    std::optional<Failure> failure_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)) {}

    explicit operator bool() const noexcept { return !failure_; }
    std::error_code error() const { return failure_ ? failure_->code : std::error_code(); }
    const Failure *failure() const noexcept { return failure_ ? &*failure_ : nullptr; }
#if OSTREL_HPP_EXCEPTIONS
    void value() const
    {
        if (failure_)
            raise(*failure_);
    }
#endif

private:
    std::optional<Failure> failure_;
};

// ---- Time-outs ------------------------------------------------------------------------------------

// Any std::chrono duration converts to this one.
using Duration = std::chrono::nanoseconds;
// How long one read of the library waits at most: the pipe time-out it gives every instrument.
inline constexpr Duration kPipeTimeout = std::chrono::milliseconds(1000);
// What reads wait unless told otherwise.
inline constexpr Duration kDefaultTimeout = kPipeTimeout;
// Waits without limit.
inline constexpr Duration kNoTimeout = Duration::max();

// ---- Listings ------------------------------------------------------------------------------------

// One instrument of the device table.
struct InstrumentInfo {
    std::string key;      // "<model> <serial field>", cut from its *IDN? reply
    int id = 0;           // its device ID (not necessarily unique)
    int model = 0;        // the number at the start of the key (0 if none)
    int serial = 0;       // the digits after the key's first blank, letters before them skipped (0 if none)
    std::string identity; // its reply to *IDN? as the library keeps it
};

namespace detail {

inline constexpr std::size_t kKeySize = 64;
// Room for instruments that arrive between counting the table and listing it (event mode rescans
// meanwhile): the C listings write one entry per instrument present at that moment.
inline constexpr std::size_t kSlack = 64;

inline Failure failure(errc code, std::string call, std::string instrument, std::string reason)
{
    return {make_error_code(code), std::move(call), std::move(instrument), std::move(reason)};
}

inline std::size_t room() { return static_cast<std::size_t>(std::max(vorn_usb_GetDeviceCount(), 0)) + kSlack; }

inline std::vector<std::string> device_keys(std::size_t room)
{
    std::vector<std::string> keys(room, std::string(kKeySize, '\0'));
    std::vector<char *> buffers;
    for (std::string &key : keys)
        buffers.push_back(key.data());
    keys.resize(static_cast<std::size_t>(std::max(vorn_usb_GetDeviceKeys(buffers.data()), 0)));
    for (std::string &key : keys)
        key.resize(key.find('\0'));
    return keys;
}

inline bool has_key(const std::string &key)
{
    const std::vector<std::string> keys = device_keys(room());
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// Splits "<ID>,<identity>;..." into identities. The library cuts each entry to 63 chars (dropping
// its ';'), and an identity may hold ';' itself: an entry ends at the first ';' that the next
// entry's "<ID>," follows (the text's end for the last one), else at the cut.
inline std::vector<std::string> split_identities(const std::string &text, const std::vector<int> &ids)
{
    std::vector<std::string> identities;
    std::size_t at = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::size_t bound = std::min(at + kKeySize - 1, text.size());
        const std::size_t start = std::min(at + std::to_string(ids[i]).size() + 1, bound);
        const std::string next = i + 1 < ids.size() ? std::to_string(ids[i + 1]) + "," : "";
        std::size_t end = start;
        while (end < bound && !(text[end] == ';' && (next.empty() ? end + 1 == text.size()
                                                                 : text.compare(end + 1, next.size(), next) == 0)))
            ++end;
        identities.push_back(text.substr(start, end - start));
        at = end < bound ? end + 1 : bound;
    }
    return identities;
}

// The listing, or nothing if the table changed while it was taken.
inline std::optional<std::vector<InstrumentInfo>> list_once()
{
    const std::size_t slots = room();
    const std::vector<std::string> keys = device_keys(slots);
    std::vector<int> ids(slots), models(slots), serials(slots);
    int listed = 0;
    std::string info(slots * kKeySize + 1, '\0');
    if (GetInstrumentList(ids.data(), models.data(), serials.data(), &listed) != 0 ||
        (!keys.empty() && vorn_usb_get_device_info(info.data()) != 0))
        return std::vector<InstrumentInfo>{};
    if (static_cast<std::size_t>(listed) != keys.size() || device_keys(slots) != keys)
        return std::nullopt;
    ids.resize(keys.size());
    const std::vector<std::string> identities = split_identities(info.c_str(), ids);
    std::vector<InstrumentInfo> rows;
    for (std::size_t i = 0; i < keys.size(); ++i)
        rows.push_back({keys[i], ids[i], models[i], serials[i], identities[i]});
    return rows;
}

} // namespace detail

// The instruments in the device table now, in key order.
inline Result<std::vector<InstrumentInfo>> try_instruments()
{
    for (int attempt = 0; attempt < 5; ++attempt)
        if (std::optional<std::vector<InstrumentInfo>> rows = detail::list_once())
            return std::move(*rows);
    return detail::failure(errc::library_failed, "GetInstrumentList", "",
                           "the device table kept changing while it was listed");
}

// Static discovery of one USB product ID (0: all), then the listing. Device IDs count 0, 1, 2, ...
// unless use_address takes them from each instrument's ADDR? reply. Instruments found before stay.
inline Result<std::vector<InstrumentInfo>> try_discover(unsigned product_id = 0, bool use_address = false)
{
    int count = 0;
    if (vorn_usb_open_devices(product_id, use_address ? 1 : 0, &count) < 0)
        return detail::failure(errc::library_failed, "vorn_usb_open_devices", "", "static discovery failed (see the log)");
    return try_instruments();
}

// Ends static discovery and event mode alike: closes every instrument and empties the device table.
inline void shutdown() { vorn_usb_uninit_system(); }

#if OSTREL_HPP_EXCEPTIONS
inline std::vector<InstrumentInfo> instruments() { return try_instruments().value(); }
inline std::vector<InstrumentInfo> discover(unsigned product_id = 0, bool use_address = false)
{
    return try_discover(product_id, use_address).value();
}
#endif

// ---- Logging ----------------------------------------------------------------------------------------

// Data lines of discovery and transfers in the log (error lines are always written).
inline void set_logging(bool on) { vorn_usb_SetLogging(on ? 1 : 0); }
// Trace lines: every operation's Enter and Exit, path lists, query traffic.
inline void set_trace(bool on) { vorn_usb_SetTraceLog(on ? 1 : 0); }
// The operating system's name as the library reports it ("Windows 10", "Linux", ...).
inline std::string os_name()
{
    char name[32] = {};
    vorn_usb_GetOSName(name);
    return name;
}
// The folder the log goes to (as OSTREL_LOG_DIR in the environment): it takes effect only before
// the program's first call of the library, which opens the log, and, as any change of the
// environment, only while no other thread reads the environment. A library built against another C
// runtime than the program's (a DLL from MinGW in an MSVC program) may not see it: set the variable
// before the program starts then.
inline Result<void> try_set_log_folder(const std::string &folder)
{
    // The one thing of the platform a caller's compiler must know here, as OSTREL_CALL in ostrel.h.
#ifdef _WIN32
    const int result = _putenv_s("OSTREL_LOG_DIR", folder.c_str());
#else
    const int result = setenv("OSTREL_LOG_DIR", folder.c_str(), 1);
#endif
    if (result != 0 || folder.find('\0') != std::string::npos)
        return detail::failure(errc::invalid_argument, "set_log_folder", "", "cannot set OSTREL_LOG_DIR to " + folder);
    return {};
}
#if OSTREL_HPP_EXCEPTIONS
inline void set_log_folder(const std::string &folder) { try_set_log_folder(folder).value(); }
#endif

// ---- Instruments -------------------------------------------------------------------------------------

// Bytes to send: a pointer and a size, or any contiguous container of one-byte elements (std::string,
// std::vector<std::uint8_t>, std::array<std::byte, N>, ...). Not a string literal, whose NUL would go too.
class ByteView {
public:
    ByteView(const void *data, std::size_t size) : data_(static_cast<const char *>(data)), size_(size) {}
    template <class Container, class Element = std::remove_pointer_t<decltype(std::data(std::declval<const Container &>()))>,
              class = std::enable_if_t<sizeof(Element) == 1 && std::is_trivial_v<Element> && !std::is_array_v<Container>>>
    ByteView(const Container &bytes) : ByteView(std::data(bytes), std::size(bytes))
    {
    }
    const char *data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    const char *data_;
    std::size_t size_;
};

namespace detail {

using Clock = std::chrono::steady_clock;
// One library read takes at most this many bytes; a longer reply comes in several reads.
inline constexpr std::size_t kChunk = std::size_t(1) << 16;
// A failed library call that returns well before the pipe time-out did not wait for the instrument:
// it failed (unplugged, unknown) and waiting longer would not help.
inline constexpr Duration kFastFailure = kPipeTimeout / 2;

inline Clock::time_point deadline_after(Duration timeout)
{
    const Clock::time_point now = Clock::now();
    if (timeout >= std::chrono::duration_cast<Duration>(Clock::time_point::max() - now))
        return Clock::time_point::max();
    return now + std::chrono::duration_cast<Clock::duration>(std::max(timeout, Duration::zero()));
}

inline std::string describe(Duration timeout)
{
    return "nothing came within " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count()) +
           " ms";
}

// The reply up to its last line end (CR, LF or CR LF), as the library's ASCII reads cut it; a reply
// without any line end whole.
inline std::string reply_text(std::string data)
{
    const std::size_t end = data.find_last_of("\r\n");
    if (end == std::string::npos)
        return data;
    data.resize(end > 0 && data[end] == '\n' && data[end - 1] == '\r' ? end - 1 : end);
    return data;
}

// What one instrument has sent and nobody has taken yet, and the read that fetches more. A library
// read cannot be cut short, so a read that may outlast the caller's deadline runs on a thread of its
// own; the caller leaves it running at the deadline, and what it brings waits here for the next read.
class Receiver : public std::enable_shared_from_this<Receiver> {
public:
    explicit Receiver(std::string key) : key_(std::move(key)) {}

    // The rest of the current reply (count 0), or exactly count bytes however many replies they span.
    // On a time-out or failure nothing is consumed.
    Result<std::string> read(std::size_t count, Duration timeout)
    {
        const Clock::time_point deadline = deadline_after(timeout);
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wait(lock, deadline, [&] { return !reading_; }))
            return failure(errc::timeout, describe(timeout) + " (another thread was reading)");
        reading_ = true;
        const Turn turn{*this}; // ends before the lock is released
        std::string data;
        for (;;) {
            const std::optional<Failure> failed = fill(lock, deadline, timeout);
            if (failed) {
                pending_.insert(0, data);
                return *failed;
            }
            const std::size_t size = count == 0 ? pending_.size() : std::min(count - data.size(), pending_.size());
            data.append(pending_, 0, size);
            pending_.erase(0, size);
            if (count == 0 ? endsReply_ : data.size() == count)
                return data;
        }
    }

private:
    struct Outcome {
        bool ok = false;
        bool fast = false; // failed without waiting for the instrument
        std::string data;
    };

    // One reader at a time takes a whole reply.
    struct Turn {
        Receiver &receiver;
        ~Turn()
        {
            receiver.reading_ = false;
            receiver.done_.notify_all();
        }
    };

    template <class Predicate>
    bool wait(std::unique_lock<std::mutex> &lock, Clock::time_point deadline, Predicate ready)
    {
        if (deadline != Clock::time_point::max())
            return done_.wait_until(lock, deadline, ready);
        done_.wait(lock, ready);
        return true;
    }

    Failure failure(errc code, std::string reason) const
    {
        return detail::failure(code, "vorn_usb_read_by_key", key_, std::move(reason));
    }

    // Waits for bytes until the deadline; a failure if none come.
    std::optional<Failure> fill(std::unique_lock<std::mutex> &lock, Clock::time_point deadline, Duration timeout)
    {
        while (pending_.empty()) {
            if (!inflight_)
                start(lock, deadline);
            if (!wait(lock, deadline, [&] { return !inflight_; }))
                return failure(errc::timeout, describe(timeout));
            Outcome outcome = std::move(outcome_);
            if (outcome.ok) {
                pending_ = std::move(outcome.data);
                // A transfer shorter than the buffer ends the reply (an empty one ends a reply that
                // filled the buffer exactly).
                endsReply_ = pending_.size() < kChunk;
                if (pending_.empty())
                    return std::nullopt;
            } else if (outcome.fast) {
                return has_key(key_) ? failure(errc::transfer_failed, "the read failed (see the log)")
                                     : failure(errc::instrument_gone, "no longer in the device table (unplugged?)");
            } else if (Clock::now() >= deadline) {
                return failure(errc::timeout, describe(timeout));
            }
        }
        return std::nullopt;
    }

    // A read that ends before the deadline in any case runs on the caller's thread.
    void start(std::unique_lock<std::mutex> &lock, Clock::time_point deadline)
    {
        inflight_ = true;
        if (deadline - Clock::now() > kPipeTimeout + kPipeTimeout / 4) {
            lock.unlock();
            Outcome outcome = transfer();
            lock.lock();
            finish(std::move(outcome));
            return;
        }
        std::thread([self = shared_from_this()] {
            Outcome outcome = self->transfer();
            std::lock_guard<std::mutex> guard(self->mutex_);
            self->finish(std::move(outcome));
        }).detach();
    }

    Outcome transfer() const
    {
        std::string buffer(kChunk, '\0');
        unsigned received = 0;
        const Clock::time_point started = Clock::now();
        if (vorn_usb_read_by_key(key_.c_str(), buffer.data(), static_cast<unsigned>(buffer.size()), &received) == 0) {
            buffer.resize(received);
            return {true, false, std::move(buffer)};
        }
        return {false, Clock::now() - started < kFastFailure, {}};
    }

    void finish(Outcome outcome)
    {
        outcome_ = std::move(outcome);
        inflight_ = false;
        done_.notify_all();
    }

    const std::string key_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::string pending_;
    bool endsReply_ = false; // the pending bytes end where a reply ended
    bool inflight_ = false;
    bool reading_ = false;
    Outcome outcome_;
};

// Every Instrument of one key takes its replies from one receiver, so that a reply that comes after
// one of them gave up waiting goes to the next read, whichever object makes it.
inline std::shared_ptr<Receiver> receiver_for(const std::string &key)
{
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<Receiver>> receivers;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<Receiver> receiver = receivers[key].lock();
    if (!receiver) {
        receiver = std::make_shared<Receiver>(key);
        receivers[key] = receiver;
    }
    return receiver;
}

} // namespace detail

// An instrument of the device table, held by its device key (IDs may change, keys do not). Every
// Instrument of one key shares the replies received and not read yet. Text goes out as the library's ASCII writes send it
// (a CR appended unless it ends in one); replies come in as bytes, whole however long.
class Instrument {
public:
    // The instrument with this device key; no_such_instrument if the table has none (discover first).
    static Result<Instrument> open(std::string_view key)
    {
        for (const std::string &known : detail::device_keys(detail::room()))
            if (known == key)
                return Instrument(Adopt{}, known);
        return detail::failure(errc::no_such_instrument, "open", std::string(key),
                               "not in the device table (discover first?)");
    }
    // The first instrument in key order with this device ID.
    static Result<Instrument> open(int id)
    {
        char key[detail::kKeySize] = {};
        vorn_usb_GetDeviceKeyFromDeviceID(id, key);
        if (key[0] == '\0')
            return detail::failure(errc::no_such_instrument, "open", "ID " + std::to_string(id),
                                   "not in the device table (discover first?)");
        return Instrument(Adopt{}, std::string(key));
    }
#if OSTREL_HPP_EXCEPTIONS
    explicit Instrument(std::string_view key) : Instrument(open(key).value()) {}
    explicit Instrument(const char *key) : Instrument(std::string_view(key)) {}
    explicit Instrument(int id) : Instrument(open(id).value()) {}
#endif

    const std::string &key() const noexcept { return key_; }
    // Its device ID now (instrument_gone once it has left the table).
    Result<int> try_id() const
    {
        Result<std::vector<InstrumentInfo>> rows = try_instruments();
        if (!rows)
            return *rows.failure();
        for (const InstrumentInfo &row : *rows)
            if (row.key == key_)
                return row.id;
        return gone("id");
    }

    // One command line; the library appends a CR unless it ends in one. A NUL would end it early.
    Result<void> try_write(std::string_view command) const
    {
        if (command.find('\0') != std::string_view::npos)
            return detail::failure(errc::invalid_argument, "vorn_usb_write_by_key", key_,
                                   "the command holds a NUL, which would end it early (write_binary sends it)");
        return send("vorn_usb_write_by_key", command, vorn_usb_write_by_key);
    }
    // Exactly these bytes, NULs included; nothing added.
    Result<void> try_write_binary(ByteView bytes) const
    {
        return send("vorn_usb_write_binary_by_key", std::string_view(bytes.data(), bytes.size()),
                    vorn_usb_write_binary_by_key);
    }
    // The next reply as text, cut at its last line end, within the time-out.
    Result<std::string> try_read(Duration timeout = kDefaultTimeout) const
    {
        Result<std::string> reply = receiver_->read(0, timeout);
        if (reply)
            *reply = detail::reply_text(std::move(*reply));
        return reply;
    }
    // write(command), then read(timeout).
    Result<std::string> try_query(std::string_view command, Duration timeout = kDefaultTimeout) const
    {
        Result<void> written = try_write(command);
        if (!written)
            return *written.failure();
        return try_read(timeout);
    }
    // Exactly count bytes, however many replies they span (the rest of the last one stays for the
    // next read); count 0: the rest of the next reply. On a time-out nothing is consumed.
    Result<std::vector<std::uint8_t>> try_read_binary(std::size_t count, Duration timeout = kDefaultTimeout) const
    {
        Result<std::string> bytes = receiver_->read(count, timeout);
        if (!bytes)
            return *bytes.failure();
        return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
    }

#if OSTREL_HPP_EXCEPTIONS
    int id() const { return try_id().value(); }
    void write(std::string_view command) const { try_write(command).value(); }
    void write_binary(ByteView bytes) const { try_write_binary(bytes).value(); }
    std::string read(Duration timeout = kDefaultTimeout) const { return try_read(timeout).value(); }
    std::string query(std::string_view command, Duration timeout = kDefaultTimeout) const
    {
        return try_query(command, timeout).value();
    }
    std::vector<std::uint8_t> read_binary(std::size_t count, Duration timeout = kDefaultTimeout) const
    {
        return try_read_binary(count, timeout).value();
    }
#endif

private:
    struct Adopt {};
    Instrument(Adopt, std::string key)
        : key_(std::move(key)), receiver_(detail::receiver_for(key_))
    {
    }

    Failure gone(const std::string &call) const
    {
        return detail::failure(errc::instrument_gone, call, key_, "no longer in the device table (unplugged?)");
    }

    template <class Send>
    Result<void> send(const char *call, std::string_view bytes, Send c_send) const
    {
        if (bytes.size() >= UINT_MAX)
            return detail::failure(errc::invalid_argument, call, key_, "more bytes than one transfer carries");
        std::string buffer(bytes); // the C API takes a writable buffer, and a NUL after the text
        const detail::Clock::time_point started = detail::Clock::now();
        if (c_send(key_.c_str(), buffer.data(), static_cast<unsigned>(bytes.size())) == 0)
            return {};
        if (detail::Clock::now() - started >= detail::kFastFailure)
            return detail::failure(errc::timeout, call, key_, "the instrument took nothing within the pipe time-out");
        if (!detail::has_key(key_))
            return gone(call);
        return detail::failure(errc::transfer_failed, call, key_, "the write failed (see the log)");
    }

    std::string key_;
    std::shared_ptr<detail::Receiver> receiver_;
};

// ---- Event mode ---------------------------------------------------------------------------------------

// An instrument entered the device table (arrived) or left it.
struct Event {
    bool arrived = false;
    int id = 0;
    std::string key; // during a removal the instrument is still in the table, so its key is known
};

struct EventOptions {
    // The USB product ID to follow (0: every product).
    unsigned product_id = 0;
    // Called, on the handler's thread, with what the handler threw; by default it is written to
    // stderr. The exception never reaches the library, and the next event is delivered as usual.
    std::function<void(const Event &, std::exception_ptr)> on_error;
};

namespace detail {

// One EventMode's handler and the callbacks of it under way.
struct Subscriber {
    std::function<void(const Event &)> handler;
    std::function<void(const Event &, std::exception_ptr)> on_error;
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<std::thread::id> running; // the threads inside the handler now
    bool closed = false;
};

// The C callback has no context: one subscriber per program (per module that includes this header)
// receives the events.
struct Dispatch {
    std::mutex mutex;
    std::shared_ptr<Subscriber> current;
};
inline Dispatch &dispatch()
{
    static Dispatch instance;
    return instance;
}

#if OSTREL_HPP_EXCEPTIONS
inline void report(const Event &event, std::exception_ptr thrown)
{
    std::string what = "an exception that is no std::exception";
    try {
        std::rethrow_exception(thrown);
    } catch (const std::exception &error) {
        what = error.what();
    } catch (...) {
    }
    std::fprintf(stderr, "ostrel::EventMode: the handler threw on the %s of %s (ID %d): %s\n",
                 event.arrived ? "arrival" : "removal", event.key.c_str(), event.id, what.c_str());
}
#endif

inline void call_handler(Subscriber &subscriber, const Event &event)
{
#if OSTREL_HPP_EXCEPTIONS
    try {
        subscriber.handler(event);
    } catch (...) {
        try {
            if (subscriber.on_error)
                subscriber.on_error(event, std::current_exception());
            else
                report(event, std::current_exception());
        } catch (...) {
            // on_error threw as well: the library must not see it either.
        }
    }
#else
    subscriber.handler(event);
#endif
}

inline void OSTREL_CALL on_device_event(int id, int attached)
{
    std::shared_ptr<Subscriber> subscriber;
    {
        std::lock_guard<std::mutex> lock(dispatch().mutex);
        subscriber = dispatch().current;
    }
    if (!subscriber)
        return;
    {
        std::lock_guard<std::mutex> lock(subscriber->mutex);
        if (subscriber->closed)
            return;
        subscriber->running.push_back(std::this_thread::get_id());
    }
    char key[kKeySize] = {};
    vorn_usb_GetDeviceKeyFromDeviceID(id, key);
    call_handler(*subscriber, Event{attached != 0, id, key});
    std::lock_guard<std::mutex> lock(subscriber->mutex);
    subscriber->running.erase(std::find(subscriber->running.begin(), subscriber->running.end(), std::this_thread::get_id()));
    subscriber->idle.notify_all();
}

} // namespace detail

// Event mode while the object lives: the handler is called once for every instrument present at the
// start (on the constructing thread, before the constructor returns), then for every arrival and
// removal (on the library's watcher thread), one call at a time. The handler may call any function of
// the library and of this header.
//
// Destroying the object (or stop()) ends event mode with vorn_usb_uninit_system, which also closes
// every instrument, and then waits for a call of the handler still under way, so that nothing the
// handler uses is called after the object is gone. Destroyed from inside its own handler, it cannot
// wait for that call, which is the caller's own: it returns at once, and the handler must not touch
// the object afterwards. Do not destroy it on a thread the handler is waiting for.
//
// The library keeps a single callback, so one EventMode runs at a time in a program; a second one
// fails with event_mode_busy while the first runs.
class EventMode {
public:
    template <class Handler, class = std::enable_if_t<std::is_invocable_v<Handler &, const Event &>>>
    static Result<std::unique_ptr<EventMode>> try_start(Handler handler, EventOptions options = {})
    {
        std::unique_ptr<EventMode> mode(new EventMode(std::function<void(const Event &)>(std::move(handler)),
                                                      std::move(options.on_error)));
        Result<void> started = mode->start(options.product_id);
        if (!started)
            return *started.failure();
        return Result<std::unique_ptr<EventMode>>(std::move(mode));
    }
#if OSTREL_HPP_EXCEPTIONS
    template <class Handler, class = std::enable_if_t<std::is_invocable_v<Handler &, const Event &>>>
    explicit EventMode(Handler handler, EventOptions options = {})
        : EventMode(std::function<void(const Event &)>(std::move(handler)), std::move(options.on_error))
    {
        start(options.product_id).value();
    }
    // A member function of an object that outlives this EventMode: EventMode(&Monitor::on_event, this).
    template <class Object, class Base>
    EventMode(void (Base::*member)(const Event &), Object *object, EventOptions options = {})
        : EventMode([member, object](const Event &event) { (object->*member)(event); }, std::move(options))
    {
    }
#endif
    EventMode(const EventMode &) = delete;
    EventMode &operator=(const EventMode &) = delete;
    ~EventMode() { stop(); }

    // Ends event mode as the destructor does; safe to call again.
    void stop()
    {
        if (!subscriber_)
            return;
        {
            std::lock_guard<std::mutex> lock(detail::dispatch().mutex);
            if (detail::dispatch().current == subscriber_)
                detail::dispatch().current.reset();
        }
        vorn_usb_uninit_system();
        std::unique_lock<std::mutex> lock(subscriber_->mutex);
        subscriber_->closed = true;
        const std::thread::id self = std::this_thread::get_id();
        subscriber_->idle.wait(lock, [&] {
            return std::all_of(subscriber_->running.begin(), subscriber_->running.end(),
                               [&](std::thread::id thread) { return thread == self; });
        });
        lock.unlock();
        subscriber_.reset();
    }

private:
    EventMode(std::function<void(const Event &)> handler,
              std::function<void(const Event &, std::exception_ptr)> on_error)
        : subscriber_(std::make_shared<detail::Subscriber>())
    {
        subscriber_->handler = std::move(handler);
        subscriber_->on_error = std::move(on_error);
    }

    Result<void> start(unsigned product_id)
    {
        {
            std::lock_guard<std::mutex> lock(detail::dispatch().mutex);
            if (detail::dispatch().current) {
                subscriber_.reset();
                return detail::failure(errc::event_mode_busy, "vorn_usb_event_init", "",
                                       "another EventMode runs; destroy it first");
            }
            detail::dispatch().current = subscriber_;
        }
        if (vorn_usb_event_init(product_id, detail::on_device_event) != 0) {
            stop();
            return detail::failure(errc::library_failed, "vorn_usb_event_init", "",
                                   "event mode could not start (see the log)");
        }
        return {};
    }

    std::shared_ptr<detail::Subscriber> subscriber_;
};

} // namespace ostrel

#endif // OSTREL_HPP
