// doctor: what a user needs when nothing is found: versions, the library and
// the log in use, the system's or the bench's findings and what discovery says.
#include "Cli.h"
#include "Doctor.h"
#include "Instruments.h"
#include "Log.h"
#include "Output.h"

#include <algorithm>
#include <cstdio>

namespace ostrel::tool {
namespace {

const char kBenchDocs[] = "see docs/bench.md";

std::vector<Finding> BenchFindings(const Session &session)
{
    if (session.benchInstruments < 0)
        return {{false, "the bench is empty: no bench file was named",
                 "name one with --bench FILE or the OSTREL_BENCH environment variable (" + std::string(kBenchDocs) +
                     ")"}};
    if (session.benchInstruments == 0)
        return {{false, "the bench file " + session.options.benchFile + " plugs no instrument",
                 "describe your instruments in its \"instruments\" list (" + std::string(kBenchDocs) + ")"}};
    return {{true, "the bench file " + session.options.benchFile + " plugs " +
                       std::to_string(session.benchInstruments) + " instruments", ""}};
}

std::vector<Finding> Findings(const Session &session)
{
    return session.library.hasBench ? BenchFindings(session) : SystemFindings();
}

// The lines that say why discovery found nothing; docs/linux.md explains each.
std::vector<std::string> Complaints(const std::vector<std::string> &logTexts)
{
    std::vector<std::string> complaints;
    for (const std::string &text : logTexts)
        for (const char *prefix : {"GetDevInfoSet: ", "CreateDeviceHandles: ", "GetLastError = "})
            if (text.compare(0, std::string(prefix).size(), prefix) == 0 &&
                std::find(complaints.begin(), complaints.end(), text) == complaints.end())
                complaints.push_back(text);
    return complaints;
}

Finding DiscoveryFinding(Session &session)
{
    const Discovery found = Discover(session, true);
    std::string said;
    for (const std::string &complaint : Complaints(found.logTexts))
        said += (said.empty() ? "the log says: " : "; ") + complaint;
    if (found.rows.empty())
        return {false, "discovery found no instrument" + (said.empty() ? "" : " (" + said + ")"),
                "plug one in and switch it on; the findings above say what else stands in the way"};
    int unnamed = 0;
    for (const Row &row : found.rows)
        unnamed += row.id ? 0 : 1;
    std::string what = "discovery found " + std::to_string(found.rows.size()) + " instruments";
    if (unnamed != 0)
        what += ", " + std::to_string(unnamed) + " without an ID (no reply to ADDR?)";
    if (found.leftOut == 0)
        return {true, what, ""};
    return {false, what + "; " + LeftOut(found.leftOut),
            "give each instrument a serial number of its own, and see that each answers *IDN?"};
}

void Print(const Finding &finding)
{
    Say(std::string(finding.ok ? "ok       " : "PROBLEM  ") + finding.what);
    if (!finding.ok)
        Say("         what to do: " + finding.todo);
}

} // namespace

int Doctor(Session &session)
{
    Say("ostrel " OSTREL_VERSION);
    std::vector<Finding> findings;
    if (session.loaded) {
        Say("library  " + session.library.file + " (" + session.library.kind + ")");
        findings = Findings(session);
        findings.push_back(DiscoveryFinding(session));
    } else {
        findings.push_back({false, "no Ostrel library could be loaded: " + session.loadError,
                            "install it, or name its file in the OSTREL_LIBRARY environment variable"});
        for (const Finding &finding : SystemFindings())
            findings.push_back(finding);
    }
    Say("log      " + LogPath());
    const std::string logProblem = LogFolderProblem();
    if (!logProblem.empty())
        findings.push_back({false, logProblem + ": the library writes its log where it shows above",
                            "make the folder, or point OSTREL_LOG_DIR at one you can write to"});
    int status = kOk;
    for (const Finding &finding : findings) {
        Print(finding);
        status = finding.ok ? status : kFailed;
    }
    return status;
}

void ExplainNothingFound(Session &session, const std::vector<std::string> &logTexts)
{
    bool explained = false;
    for (const Finding &finding : Findings(session)) {
        if (finding.ok)
            continue;
        std::fprintf(stderr, "  likely cause: %s\n  what to do: %s\n", finding.what.c_str(), finding.todo.c_str());
        explained = true;
    }
    if (!explained)
        std::fprintf(stderr, "  likely cause: no instrument is plugged in and switched on, or none answered *IDN?\n");
    for (const std::string &complaint : Complaints(logTexts))
        std::fprintf(stderr, "  the log says: %s\n", complaint.c_str());
    std::fprintf(stderr, "  log: %s; ostrel doctor checks more\n", LogPath().c_str());
}

} // namespace ostrel::tool
