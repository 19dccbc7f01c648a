// Ostrel.dll asks Windows' own shell for the documents folder, so the bench
// it runs on here cannot choose one; its log goes where Ostrel.dll puts it.
#include "platform/sim/BenchLayer.h"

std::string ostrel::sim::SetPlatformDocumentsFolder(const char *)
{
    return "Ostrel.dll asks Windows for the documents folder: its log goes to Documents\\Log, or to the folder "
           "OSTREL_LOG_DIR names";
}
