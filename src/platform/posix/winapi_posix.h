// The subset of the Windows API that the core calls, for POSIX systems.
//
// Each call keeps the part of Windows' behaviour the core relies on:
//  - failures set a per-thread last-error code with Windows' number, and
//    FormatMessageA gives Windows' English text for it (with its "\r\n");
//  - handles are checked: a call given a handle that is not open (or of the
//    wrong kind) fails with ERROR_INVALID_HANDLE;
//  - SetupAPI: DIGCF_PRESENT lists present interfaces only; the two-call size
//    protocol of SetupDiGetDeviceInterfaceDetailA (ERROR_INSUFFICIENT_BUFFER
//    and the required size, cbSize of the fixed part checked: 8);
//  - WinUSB: PIPE_TRANSFER_TIMEOUT per pipe (0, the default, waits without
//    limit) fails a transfer with ERROR_SEM_TIMEOUT; a transfer on a device
//    that was removed fails with ERROR_BAD_COMMAND; WinUsb_AbortPipe fails the
//    transfers waiting on a pipe with ERROR_OPERATION_ABORTED;
//  - events are manual- or auto-reset as created, and a manual-reset event
//    stays signalled until reset;
//  - a message-only window belongs to the thread that created it; device
//    notifications reach it as WM_DEVICECHANGE, delivered to its window
//    procedure inside that thread's PeekMessageA, and wake that thread's
//    MsgWaitForMultipleObjects with WAIT_OBJECT_0 + nCount.
// Every call can be made to fail through the simulated bench's fault
// injection in the simulated products (platform/BenchHooks.h); a release call
// made to fail still releases.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Types ----------------------------------------------------------------
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef unsigned char *PUCHAR;
typedef char CHAR;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t *PULONG;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int32_t HRESULT;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORDLONG;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t SIZE_T;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef char16_t WCHAR;
typedef void *PVOID;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef const WCHAR *LPCWSTR;
typedef DWORD *LPDWORD;
typedef UINT *PUINT;

typedef void *HANDLE;
typedef HANDLE HDEVINFO;
typedef HANDLE HLOCAL;
typedef PVOID WINUSB_INTERFACE_HANDLE;
typedef PVOID HDEVNOTIFY;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HICON__ *HICON;
typedef HICON HCURSOR;
typedef struct HBRUSH__ *HBRUSH;
typedef struct HMENU__ *HMENU;

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define S_OK ((HRESULT)0)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define LOWORD(l) ((WORD)(((DWORD)(l)) & 0xFFFF))
#define HIWORD(l) ((WORD)((((DWORD)(l)) >> 16) & 0xFFFF))

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _FILETIME {
    DWORD dwLowDateTime, dwHighDateTime;
} FILETIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow, dwReserved0, dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize, dwMajorVersion, dwMinorVersion, dwBuildNumber, dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor, wServicePackMinor, wSuiteMask;
    BYTE wProductType, wReserved;
} OSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

typedef struct tagVS_FIXEDFILEINFO {
    DWORD dwSignature, dwStrucVersion, dwFileVersionMS, dwFileVersionLS, dwProductVersionMS,
        dwProductVersionLS, dwFileFlagsMask, dwFileFlags, dwFileOS, dwFileType, dwFileSubtype,
        dwFileDateMS, dwFileDateLS;
} VS_FIXEDFILEINFO;

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID);
typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSEXA {
    UINT cbSize, style;
    WNDPROC lpfnWndProc;
    int cbClsExtra, cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
} WNDCLASSEXA;

typedef struct tagCREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy, cx, y, x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTA;

typedef struct tagPOINT {
    LONG x, y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

typedef struct _DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size, dbcc_devicetype, dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1];
} DEV_BROADCAST_DEVICEINTERFACE_A;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

typedef struct _SP_DEVINFO_DATA SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        bInterfaceClass, bInterfaceSubClass, bInterfaceProtocol, iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

#pragma pack(push, 1)
typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength, bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0;
    USHORT idVendor, idProduct, bcdDevice;
    UCHAR iManufacturer, iProduct, iSerialNumber, bNumConfigurations;
} USB_DEVICE_DESCRIPTOR;
#pragma pack(pop)

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

typedef struct _WINUSB_PIPE_INFORMATION {
    USBD_PIPE_TYPE PipeType;
    UCHAR PipeId;
    USHORT MaximumPacketSize;
    UCHAR Interval;
} WINUSB_PIPE_INFORMATION, *PWINUSB_PIPE_INFORMATION;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

// ---- Constants ------------------------------------------------------------
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_DEV_NOT_EXIST 55u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_PENDING 997u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_OLD_WIN_VERSION 1150u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NOT_FOUND 1168u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_CLASS_ALREADY_EXISTS 1410u
#define ERROR_CLASS_DOES_NOT_EXIST 1411u
#define ERROR_CLASS_HAS_WINDOWS 1412u
#define ERROR_INVALID_USER_BUFFER 1784u
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define DIGCF_PRESENT 0x2u
#define DIGCF_DEVICEINTERFACE 0x10u

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define LMEM_FIXED 0u

#define CSIDL_PERSONAL 5
#define SHGFP_TYPE_CURRENT 0

#define VER_MINORVERSION 0x1u
#define VER_MAJORVERSION 0x2u
#define VER_SERVICEPACKMAJOR 0x20u
#define VER_GREATER_EQUAL 3

#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define QS_ALLINPUT 0x4FFu
#define PM_NOREMOVE 0x0u
#define PM_REMOVE 0x1u

#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_NCDESTROY 0x0082u
#define WM_DEVICECHANGE 0x0219u
#define HWND_MESSAGE ((HWND)(intptr_t)-3)
#define DBT_DEVICEARRIVAL 0x8000u
#define DBT_DEVICEREMOVECOMPLETE 0x8004u
#define DBT_DEVTYP_DEVICEINTERFACE 0x5u
#define DEVICE_NOTIFY_WINDOW_HANDLE 0x0u

#define USB_DEVICE_DESCRIPTOR_TYPE 0x01u
#define PIPE_TRANSFER_TIMEOUT 0x03u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x2u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x4u

// ---- Kernel ---------------------------------------------------------------
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD code);
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPSTR buffer, DWORD size, void *arguments);
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL memory);
BOOL WINAPI CloseHandle(HANDLE handle);
void WINAPI GetLocalTime(LPSYSTEMTIME time);
DWORD WINAPI GetCurrentProcessId();
DWORD WINAPI GetCurrentThreadId();
void WINAPI Sleep(DWORD milliseconds);
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                           LPDWORD threadId);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                           BOOL initialState, LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// A thread that ends with ExitThread (or FreeLibraryAndExitThread) leaves no
// code of its own on the way out, as on Windows. Neither can fail, so neither
// takes an injected fault (nor is marked as the calls that can).
[[noreturn]] void ExitThread(DWORD exitCode);
HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
// Only the executable's own module by name (null); by address
// (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) any loaded module, with a reference
// of its own unless GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT.
BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE *module);
BOOL WINAPI FreeLibrary(HMODULE module);
// Lets go of the module once nothing of the thread runs in it any more: the
// module may be unloaded by it while the thread ends.
[[noreturn]] void FreeLibraryAndExitThread(HMODULE module, DWORD exitCode);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes);
// Renames a file, as Windows does only with MOVEFILE_REPLACE_EXISTING over a
// file already there; the rename is atomic (a reader sees the old file or the
// new one), the other flags are taken and change nothing.
#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_WRITE_THROUGH 0x8u
BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags);
DWORD WINAPI GetFullPathNameA(LPCSTR fileName, DWORD size, LPSTR buffer, LPSTR *filePart);
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL WINAPI FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
BOOL WINAPI FindClose(HANDLE search);
ULONGLONG WINAPI VerSetConditionMask(ULONGLONG mask, DWORD typeMask, BYTE condition);
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, DWORDLONG conditionMask);
DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle);
BOOL WINAPI GetFileVersionInfoA(LPCSTR fileName, DWORD handle, DWORD size, LPVOID data);
BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID *buffer, PUINT length);
HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);

// ---- Files on device paths --------------------------------------------------
HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES attributes, DWORD creation, DWORD flags,
                          HANDLE templateFile);

// ---- Messaging and device notification ------------------------------------
typedef uint16_t ATOM;
ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *windowClass);
BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE instance);
HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID parameter);
BOOL WINAPI DestroyWindow(HWND window);
LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY notification);
DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                       DWORD milliseconds, DWORD wakeMask);
BOOL WINAPI PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax,
                         UINT removeFlags);

// ---- SetupAPI -------------------------------------------------------------
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *classGuid, LPCSTR enumerator, HWND parent,
                                     DWORD flags);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                        const GUID *interfaceClass, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                             DWORD detailSize, LPDWORD requiredSize,
                                             PSP_DEVINFO_DATA deviceInfo);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set);

// ---- WinUSB ---------------------------------------------------------------
BOOL WINAPI WinUsb_Initialize(HANDLE device, WINUSB_INTERFACE_HANDLE *interfaceHandle);
BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE interfaceHandle);
BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                          UCHAR alternateSetting,
                                          PUSB_INTERFACE_DESCRIPTOR descriptor);
BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR alternateSetting,
                             UCHAR pipeIndex, PWINUSB_PIPE_INFORMATION pipeInformation);
BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR descriptorType,
                                 UCHAR index, USHORT languageId, PUCHAR buffer, ULONG length,
                                 PULONG transferred);
BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
                                 ULONG policyType, ULONG valueLength, PVOID value);
BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, PUCHAR buffer,
                            ULONG length, PULONG transferred, LPOVERLAPPED overlapped);
BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, PUCHAR buffer,
                             ULONG length, PULONG transferred, LPOVERLAPPED overlapped);
// Fails the transfers waiting on the pipe at once with ERROR_OPERATION_ABORTED;
// transfers started afterwards run as usual.
BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId);
// Discards what the host holds of the pipe's data: bytes of a reply that did
// not fit an earlier read.
BOOL WINAPI WinUsb_FlushPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId);
