/* list_and_query.c - find the instruments, list them, and ask each one who it is.
 *
 * Uses nothing but ostrel.h. Static discovery numbers the instruments 0, 1, 2,
 * ... (so that an instrument that does not answer "ADDR?" is found too); then
 * each one gets "*IDN?" and its reply is printed. Exits 1 if there is no
 * instrument or a query fails.
 *
 * Which instruments it finds is decided when it is linked: with the bench's
 * library (libostrel-sim.so, OstrelSim.dll) those of the bench file that
 * OSTREL_BENCH names, with libostrel.so or Ostrel.dll the real ones. Nothing in
 * ostrel.h tells a program which library it got, so the example cannot refuse
 * OSTREL_BENCH itself; libostrel.so says on stderr that it leaves the file
 * alone, Ostrel.dll does not look at it. */
#include <stdio.h>
#include <stdlib.h>

#include "ostrel.h"

int main(void)
{
    int count = 0;
    if (vorn_usb_open_devices(0, false, &count) < 0 || count == 0) {
        fprintf(stderr, "no instruments found\n");
        return 1;
    }

    /* The caller sizes the arrays: one entry per instrument. */
    int *ids = calloc((size_t)count, sizeof *ids);
    int *models = calloc((size_t)count, sizeof *models);
    int *serials = calloc((size_t)count, sizeof *serials);
    int listed = 0;
    if (ids == NULL || models == NULL || serials == NULL ||
        GetInstrumentList(ids, models, serials, &listed) != 0) {
        fprintf(stderr, "could not list the instruments\n");
        listed = 0;
    }

    printf("%d instruments\n", listed);
    printf("%-4s %-24s %-7s %-8s %s\n", "ID", "key", "model", "serial", "reply to *IDN?");
    int failed = 0;
    for (int i = 0; i < listed; ++i) {
        char key[64];
        vorn_usb_GetDeviceKeyFromDeviceID(ids[i], key);

        char command[] = "*IDN?";
        char reply[64];
        unsigned length = 0;
        if (vorn_usb_send_ascii(ids[i], command, 0) != 0 ||
            vorn_usb_get_ascii_by_DeviceID(ids[i], reply, sizeof reply, &length) != 0) {
            snprintf(reply, sizeof reply, "(no reply: see the log)");
            failed = 1;
        }
        printf("%-4d %-24s %-7d %-8d %s\n", ids[i], key, models[i], serials[i], reply);
    }

    free(ids);
    free(models);
    free(serials);
    vorn_usb_uninit_system();
    return listed == 0 || failed;
}
