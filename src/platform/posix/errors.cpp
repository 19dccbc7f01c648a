// Per-thread last-error codes and Windows' English system message texts.
#include "platform/BenchHooks.h"
#include "platform/posix/internal.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace ostrel::posix {
namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct SystemMessage {
    DWORD code;
    const char *text; // as Windows' message table has it, with its "\r\n"
};

// The texts the core can meet: every code of winapi_posix.h and the few more
// the layer reports. Sorted by code.
constexpr SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
    {ERROR_BAD_COMMAND, "The device does not recognize the command.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {kErrorDiskFull, "There is not enough space on the disk.\r\n"},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {kErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {kErrorModNotFound, "The specified module could not be found.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
    {ERROR_OLD_WIN_VERSION, "The specified program requires a newer version of Windows.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
    {ERROR_NOT_FOUND, "Element not found.\r\n"},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle.\r\n"},
    {kErrorCannotFindWndClass, "Cannot find window class.\r\n"},
    {ERROR_CLASS_ALREADY_EXISTS, "Class already exists.\r\n"},
    {ERROR_CLASS_DOES_NOT_EXIST, "Class does not exist.\r\n"},
    {ERROR_CLASS_HAS_WINDOWS, "Class still has open windows.\r\n"},
    {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation.\r\n"},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "The specified resource type cannot be found in the image file.\r\n"},
};

constexpr bool SortedByCode()
{
    for (size_t i = 1; i < std::size(kSystemMessages); ++i)
        if (kSystemMessages[i - 1].code >= kSystemMessages[i].code)
            return false;
    return true;
}
static_assert(SortedByCode(), "the lookup is a binary search");

const char *SystemText(DWORD code)
{
    auto found = std::lower_bound(std::begin(kSystemMessages), std::end(kSystemMessages), code,
                                  [](const SystemMessage &m, DWORD c) { return m.code < c; });
    return found != std::end(kSystemMessages) && found->code == code ? found->text : nullptr;
}

} // namespace

void StoreLastError(DWORD code)
{
    lastError = code;
}

} // namespace ostrel::posix

using ostrel::posix::StoreLastError;

DWORD WINAPI GetLastError()
{
    // An injected fault has just stored its code, which is then what we report.
    ostrel::hooks::FaultHit("GetLastError");
    return ostrel::posix::lastError;
}

void WINAPI SetLastError(DWORD code)
{
    if (ostrel::hooks::FaultHit("SetLastError"))
        return;
    StoreLastError(code);
}

// Only system texts: they carry no inserts, so FORMAT_MESSAGE_IGNORE_INSERTS
// changes nothing, and they are English whatever language is asked for.
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, void *)
{
    if (ostrel::hooks::FaultHit("FormatMessageA"))
        return 0;
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        StoreLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char *text = ostrel::posix::SystemText(messageId);
    if (text == nullptr) {
        StoreLastError(ostrel::posix::kErrorMrMidNotFound);
        return 0;
    }
    const DWORD length = static_cast<DWORD>(std::strlen(text));
    char *target = buffer;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // `buffer` is really a char** then, and `size` the least to allocate.
        target = static_cast<char *>(ostrel::posix::AllocateLocal(std::max<SIZE_T>(size, length + 1), false));
        if (target == nullptr) {
            StoreLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<char **>(buffer) = target;
    } else if (size < length + 1) {
        StoreLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(target, text, length + 1);
    return length;
}
