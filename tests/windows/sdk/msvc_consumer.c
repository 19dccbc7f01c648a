/* An MSVC-style program without a C runtime: it reaches Ostrel.dll (or OstrelSim.dll) by name
 * through the SDK's Ostrel.lib (or OstrelSim.lib), calls a few exports and writes its checks
 * with WriteFile; its exit status is the verdict. Run by sdk_test.sh. */
#include "ostrel.h"

typedef void *HANDLE;
__declspec(dllimport) HANDLE __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void *data, unsigned long length,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned status);

static int passed, failed;

static void Write(const char *text)
{
    unsigned long length = 0, written = 0;
    while (text[length])
        ++length;
    WriteFile(GetStdHandle((unsigned long)-11), text, length, &written, 0);
}

static void Check(int ok, const char *what)
{
    ok ? ++passed : ++failed;
    Write(ok ? "ok   - " : "FAIL - ");
    Write(what);
    Write("\n");
}

static int Same(const char *a, const char *b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

void start(void)
{
    char name[14], key[64], knownKey[] = "2936-R SN12345";
    vorn_usb_SetLogging(1);
    vorn_usb_GetOSName(name);
    Check(name[0] == 'W' && name[7] == ' ', "vorn_usb_GetOSName names a Windows version");
    Check(vorn_usb_GetDeviceCount() == 0, "vorn_usb_GetDeviceCount finds no instrument");
    Check(vorn_usb_get_device_info(0) == -1, "vorn_usb_get_device_info(NULL) fails instead of crashing");
    Check(vorn_usb_event_assign_key(knownKey, 7) == 0 && vorn_usb_event_get_key_from_handle(7, key) == 0 &&
              Same(key, knownKey) && vorn_usb_event_remove_key(knownKey) == 0,
          "a key assigned, found by its ID and removed");
    ExitProcess(failed != 0 || passed == 0);
}
