/* bench_desk.c - puts the instruments of a bench file on the simulated bench
 * before main() runs, so that an example built against libostrel-sim.so finds
 * them as it would find real ones on the desk. The example itself never sees
 * this: it uses only ostrel.h. The bench file is OSTREL_BENCH if set, else
 * the one named at build time; the log goes to OSTREL_EXAMPLE_DOCUMENTS/Log. */
#include <stdio.h>
#include <stdlib.h>

#include "ostrel_sim.h"

__attribute__((constructor)) static void PlugTheDesk(void)
{
    const char *bench = getenv("OSTREL_BENCH");
    if (bench == NULL || bench[0] == '\0')
        bench = OSTREL_EXAMPLE_BENCH;
    ostrel_sim_set_documents_folder(OSTREL_EXAMPLE_DOCUMENTS);
    if (ostrel_sim_load_bench(bench) < 0)
        fprintf(stderr, "bench %s: %s\n", bench, ostrel_sim_last_error());
}
