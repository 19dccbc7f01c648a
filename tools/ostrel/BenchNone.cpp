// The tool's bench in builds over real devices: there is none.
#include "Bench.h"

namespace ostrel::tool {

namespace {
const char noBench[] = "this build talks to real instruments; the bench needs the simulated build";
}

bool HaveBench()
{
    return false;
}

bool LoadBench(const std::string &, std::string &error)
{
    error = noBench;
    return false;
}

bool LoadDefaultBench(std::string &error)
{
    error = noBench;
    return false;
}

int PlugInstrument(const std::string &, std::string &error)
{
    error = noBench;
    return -1;
}

bool UnplugInstrument(int)
{
    return false;
}

std::string LogFilePath()
{
    return "Documents/Log/Log<date>_Native.txt in your user folder";
}

} // namespace ostrel::tool
