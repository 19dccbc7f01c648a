/* demo.c - the smallest Ostrel program: logging on, count the instruments, name the system. */
#include <stdio.h>

#include "ostrel.h"

int main(void)
{
    /* The longest name the library gives, "Windows Vista", and its NUL. */
    char osName[14];

    vorn_usb_SetLogging(1);
    int count = vorn_usb_GetDeviceCount();
    vorn_usb_GetOSName(osName);

    printf("instruments attached: %d\n", count);
    printf("operating system:     %s\n", osName);
    return 0;
}
