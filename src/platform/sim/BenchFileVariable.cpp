// The variable a bench program sets to start with the instruments of a bench file.
#include "platform/sim/BenchLayer.h"

const char *ostrel::sim::BenchFileVariable()
{
    return "OSTREL_BENCH";
}
