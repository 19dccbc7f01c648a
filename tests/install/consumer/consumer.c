/* A program built against an installed Ostrel: one simulated instrument, asked who it is. */
#include <ostrel.h>
#include <ostrel_sim.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    char key[] = "2936-R SN12345", idn[] = "*IDN?", reply[64];
    unsigned length = 0;
    int count = 0;
    if (argc > 1)
        ostrel_sim_set_documents_folder(argv[1]);
    ostrel_sim_plug("{\"vid\": 6699, \"pid\": 10550, \"serial\": \"SN12345\", \"replies\": "
                    "{\"*IDN?\": \"VORN 2936-R 1.0.3 01/02/24 SN12345\\r\\n\"}}");
    if (vorn_usb_open_devices(0, false, &count) != 0 || count != 1 || vorn_usb_write_by_key(key, idn, 0) != 0 ||
        vorn_usb_read_ascii_by_key(key, reply, sizeof reply, &length) != 0)
        return 1;
    printf("%s\n", reply);
    vorn_usb_uninit_system();
    return 0;
}
