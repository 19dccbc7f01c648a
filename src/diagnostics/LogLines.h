// The kinds of line Ostrel writes, each through the process's Logger: error
// and exception lines always, data lines under the logging switch (discovery's
// under logging or trace), trace lines under the trace switch. Every class
// writes through a LogLines of its own, so that no method tests for a missing
// Logger or reads a switch itself, and an exception is caught and written in
// one place (Guarded).
#pragma once

#include "diagnostics/LogSwitches.h"
#include "platform/ExceptionBoundary.h"
#include "platform/winapi.h"

#include <exception>
#include <utility>

#if defined(__GNUC__)
#define OSTREL_PRINTF(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define OSTREL_PRINTF(formatIndex, firstArgument)
#endif

class Logger;

class LogLines {
public:
    // Which switches let data lines through.
    enum class DataSwitch { Logging, LoggingOrTrace };

    // Error lines only: for code that writes no data or trace lines.
    explicit LogLines(Logger *logger) : logger(logger) {}
    LogLines(Logger *logger, const LogSwitches &switches, DataSwitch dataSwitch)
        : logger(logger), switches(&switches), dataSwitch(dataSwitch)
    {
    }

    // ---- Always written ----
    void Error(const char *text) const;
    void ErrorFormat(const char *format, ...) const OSTREL_PRINTF(2, 3);
    // "GetLastError = <the system's text for the code>".
    void LastError(DWORD error) const;
    // A failed Windows call: its own line, then the last-error line.
    void Failure(const char *line, DWORD error) const;
    // "<method>: Exception."
    void Exception(const char *method) const;

    // ---- Data lines ----
    bool DataOn() const;
    void Data(const char *format, ...) const OSTREL_PRINTF(2, 3);
    // The heading (formatted into 64 chars) followed by the bytes in hex.
    void DataHex(const void *bytes, DWORD length, const char *headingFormat, ...) const OSTREL_PRINTF(4, 5);

    // ---- Trace lines ----
    bool Tracing() const;
    void Trace(const char *text) const;
    void TraceFormat(const char *format, ...) const OSTREL_PRINTF(2, 3);
    // "<method>: Enter." and "<method>: Exit."
    void Enter(const char *method) const;
    void Exit(const char *method) const;

private:
    Logger *logger = nullptr;
    const LogSwitches *switches = nullptr;
    DataSwitch dataSwitch = DataSwitch::Logging;
};

// Writes "<method>: Enter." now and "<method>: Exit." when the scope is left
// normally; a method left by an exception writes its exception line instead.
class TraceScope {
public:
    TraceScope(const LogLines &log, const char *method)
        : log(log), method(method), exceptions(std::uncaught_exceptions())
    {
        log.Enter(method);
    }
    ~TraceScope()
    {
        if (std::uncaught_exceptions() == exceptions)
            log.Exit(method);
    }
    TraceScope(const TraceScope &) = delete;
    TraceScope &operator=(const TraceScope &) = delete;

private:
    const LogLines &log;
    const char *method;
    int exceptions;
};

// Runs `body`; an exception escaping it runs `report` and the call goes on as
// if `body` had returned `failure`. The form without a result returns whether
// `body` completed.
template <class Result, class Body, class Report>
Result GuardedBy(Report &&report, Result failure, Body &&body) noexcept
{
    ostrel::CatchAll([&] { failure = std::forward<Body>(body)(); }, report);
    return failure;
}

// As a method `method` of the system: its exception line is "<method>: Exception.".
template <class Result, class Body>
Result Guarded(const LogLines &log, const char *method, Result failure, Body &&body) noexcept
{
    return GuardedBy([&] { log.Exception(method); }, std::move(failure), std::forward<Body>(body));
}

template <class Body>
bool Guarded(const LogLines &log, const char *method, Body &&body) noexcept
{
    return ostrel::CatchAll(std::forward<Body>(body), [&] { log.Exception(method); });
}

// For the steps whose exception line is not "<method>: Exception."
// ("USB::Read: Device Key Exception.", "Shutdown Loop: Exception.").
template <class Result, class Body>
Result GuardedLine(const LogLines &log, const char *exceptionLine, Result failure, Body &&body) noexcept
{
    return GuardedBy([&] { log.Error(exceptionLine); }, std::move(failure), std::forward<Body>(body));
}

template <class Body>
bool GuardedLine(const LogLines &log, const char *exceptionLine, Body &&body) noexcept
{
    return ostrel::CatchAll(std::forward<Body>(body), [&] { log.Error(exceptionLine); });
}
