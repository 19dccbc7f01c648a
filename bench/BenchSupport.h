// What every benchmark program needs: its log in a temporary folder, never in
// the user's documents.
#pragma once

#include <benchmark/benchmark.h>

#include "ostrel_sim.h"

#include <filesystem>
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

// main() of a program that prints its ratios after the figures.
template <class Reporter> int RunWithReporter(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace ostrel::bench
