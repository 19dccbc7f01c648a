// The tool's bench in the build over the simulated instruments.
#include "Bench.h"

#include "ostrel_sim.h"

#include <ctime>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ostrel::tool {

namespace {

const char *const defaultInstruments[] = {
    R"({"vid": 6699, "pid": 10550, "serial": "SN12345", "replies": {
        "*IDN?": "VORN 2936-R 1.0.3 01/02/24 SN12345\r\n", "ADDR?": "5\r\n",
        "MEAS:VOLT?": "1.234\r\n", "MEAS:CURR?": "0.0125\r\n", "SYST:ERR?": "0,\"No error\"\r\n"}})",
    R"({"vid": 6699, "pid": 10560, "serial": "SN20871", "reply_delay_ms": 20, "replies": {
        "*IDN?": "VORN 2940-T 2.1.0 11/09/23 SN20871\r\n", "ADDR?": "7\r\n",
        "MEAS:TEMP?": "23.47\r\n", "CONF:UNIT?": "CEL\r\n"}})",
    R"({"vid": 6699, "pid": 10575, "serial": "SN30502", "echo": true, "replies": {
        "*IDN?": "VORN 2955-L 0.9.8 03/15/24 SN30502\r\n", "ADDR?": "12\r\n",
        "OUTP:STAT?": "OFF\r\n"}})",
};

} // namespace

bool HaveBench()
{
    return true;
}

bool LoadBench(const std::string &path, std::string &error)
{
    if (ostrel_sim_load_bench(path.c_str()) >= 0)
        return true;
    error = ostrel_sim_last_error();
    return false;
}

bool LoadDefaultBench(std::string &error)
{
    for (const char *instrument : defaultInstruments)
        if (PlugInstrument(instrument, error) < 0)
            return false;
    return true;
}

int PlugInstrument(const std::string &json, std::string &error)
{
    int slot = ostrel_sim_plug(json.c_str());
    if (slot < 0)
        error = ostrel_sim_last_error();
    return slot;
}

bool UnplugInstrument(int slot)
{
    return ostrel_sim_unplug(slot) == 0;
}

std::string LogFilePath()
{
    // The library's rule: the documents folder of the user's home (from the
    // password database), else the current directory.
    std::string folder;
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        folder = std::string(found->pw_dir) + "/Documents/Log";
    struct stat info;
    if (folder.empty() || stat(folder.c_str(), &info) != 0) {
        char cwd[4096];
        folder = getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
    }
    char date[16];
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    return folder + "/Log" + date + "_Native.txt";
}

} // namespace ostrel::tool
