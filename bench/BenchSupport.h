// What every benchmark program needs: its log in a temporary folder, never in
// the user's documents.
#pragma once

#include <benchmark/benchmark.h>

#include "ostrel_sim.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>

namespace ostrel::bench {

// The folder goes when the program ends.
class TempDocuments {
public:
    TempDocuments()
        : folder(std::filesystem::temp_directory_path() /
                 ("ostrel-bench-" + std::to_string(std::random_device{}())))
    {
        std::filesystem::create_directories(folder);
        redirected = ostrel_sim_set_documents_folder(folder.c_str()) == 0;
    }
    ~TempDocuments()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::filesystem::path folder;
    bool redirected = false;
};

inline TempDocuments &Documents()
{
    static TempDocuments documents;
    return documents;
}

inline std::filesystem::path TempDocumentsFolder()
{
    return Documents().folder;
}

// Must run before the first library call of the process.
inline bool UseTempDocuments(benchmark::State &state)
{
    TempDocuments &documents = Documents();
    if (!documents.redirected)
        state.SkipWithError("the log could not be redirected");
    return documents.redirected;
}

// The console's figures, then the program's ratios, from each benchmark's
// adjusted real time by name.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    using Times = std::map<std::string, double>;
    explicit RatioReporter(std::function<void(const Times &)> printRatios)
        : ConsoleReporter(OO_None), printRatios(std::move(printRatios))
    {
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (!run.error_occurred)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        printRatios(times);
    }

private:
    std::function<void(const Times &)> printRatios;
    Times times;
};

// `format` with measured / baseline, when both ran.
inline void PrintRatio(const RatioReporter::Times &times, const std::string &measured, const std::string &baseline,
                       const char *format)
{
    if (times.count(measured) != 0 && times.count(baseline) != 0)
        std::printf(format, times.at(measured) / times.at(baseline));
}

// main() of a program that prints its ratios after the figures.
template <class Reporter, class... Arguments> int RunWithReporter(int argc, char **argv, Arguments &&...arguments)
{
    benchmark::Initialize(&argc, argv);
    Reporter reporter(std::forward<Arguments>(arguments)...);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace ostrel::bench
