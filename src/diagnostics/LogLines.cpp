// The kinds of log line, over the Logger.
#include "diagnostics/LogLines.h"

#include "diagnostics/Logger.h"

#include <cstdarg>
#include <cstdio>

void LogLines::Error(const char *text) const
{
    if (logger != nullptr)
        logger->Log(text);
}

void LogLines::ErrorFormat(const char *format, ...) const
{
    if (logger == nullptr)
        return;
    va_list arguments;
    va_start(arguments, format);
    logger->LogFormatV(true, format, arguments);
    va_end(arguments);
}

void LogLines::LastError(DWORD error) const
{
    if (logger != nullptr)
        logger->LogLastError(error);
}

void LogLines::Failure(const char *line, DWORD error) const
{
    Error(line);
    LastError(error);
}

void LogLines::Exception(const char *method) const
{
    ErrorFormat("%s: Exception.", method);
}

bool LogLines::DataOn() const
{
    if (switches == nullptr)
        return false;
    return switches->logging || (dataSwitch == DataSwitch::LoggingOrTrace && switches->trace);
}

void LogLines::Data(const char *format, ...) const
{
    if (logger == nullptr || !DataOn())
        return;
    va_list arguments;
    va_start(arguments, format);
    logger->LogFormatV(true, format, arguments);
    va_end(arguments);
}

void LogLines::DataHex(const void *bytes, DWORD length, const char *headingFormat, ...) const
{
    if (logger == nullptr || !DataOn())
        return;
    char heading[64];
    va_list arguments;
    va_start(arguments, headingFormat);
    std::vsnprintf(heading, sizeof heading, headingFormat, arguments);
    va_end(arguments);
    logger->LogHex(true, heading, static_cast<const unsigned char *>(bytes), length);
}

bool LogLines::Tracing() const
{
    return logger != nullptr && switches != nullptr && switches->trace;
}

void LogLines::Trace(const char *text) const
{
    if (Tracing())
        logger->Log(text);
}

void LogLines::TraceFormat(const char *format, ...) const
{
    if (!Tracing())
        return;
    va_list arguments;
    va_start(arguments, format);
    logger->LogFormatV(true, format, arguments);
    va_end(arguments);
}

void LogLines::Enter(const char *method) const
{
    TraceFormat("%s: Enter.", method);
}

void LogLines::Exit(const char *method) const
{
    TraceFormat("%s: Exit.", method);
}
