// Ostrel.dll over this bench is a library of real instruments to the tool,
// which refuses OSTREL_BENCH with one: the bench file comes by a name of its own.
#include "platform/sim/BenchLayer.h"

const char *ostrel::sim::BenchFileVariable()
{
    return "OSTREL_SHIM_BENCH";
}
