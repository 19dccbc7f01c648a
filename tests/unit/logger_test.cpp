// The log writer: file placement, line format, limits, hex dumps, the
// last-error line, and whole lines under concurrent writers.
#include "diagnostics/Logger.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace ostrel::test;

TEST(Logger, WritesPrefixedLinesUpTo1023CharsIntoTheDatedFileUnderLog)
{
    const std::string docs = UseTempDocuments();
    Logger *logger = Logger::GetInstance();
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger, Logger::GetInstance());

    const std::string fits(1023, 'a');
    logger->Log("plain line");
    logger->LogFormat(true, "value %d and %s", 42, "text");
    logger->LogFormat(false, "never %d", 1);
    logger->LogFormat(true, "%s", ""); // an empty line is not written
    logger->LogFormat(true, "%s", fits.c_str());
    logger->LogFormat(true, "%s%s", fits.c_str(), "c"); // too long: dropped
    EXPECT_EQ(LogTexts(docs), (std::vector<std::string>{"plain line", "value 42 and text", fits}));
    const std::vector<std::string> lines = LogLines(docs);
    const std::regex prefix(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}, \d+, \d+, )");
    for (const std::string &line : lines)
        EXPECT_TRUE(std::regex_search(line, prefix)) << line;
    // The file is named by the date at the start of every line's prefix.
    EXPECT_EQ(LogPath(docs), docs + "/Log/Log" + lines.at(0).substr(0, 10) + "_Native.txt");
}

TEST(Logger, HexDumpsShowAtMost341UpperCaseBytesAndTheLastErrorLineItsSystemText)
{
    const std::string docs = UseTempDocuments();
    Logger *logger = Logger::GetInstance();
    const unsigned char three[] = {0x0A, 0xFF, 0x00};
    std::vector<unsigned char> many(400, 0xAB);
    logger->LogHex(true, "three: ", three, 3);
    logger->LogHex(true, "none: ", three, 0);
    logger->LogHex(true, "many: ", many.data(), static_cast<DWORD>(many.size()));
    logger->LogHex(false, "off: ", three, 3);
    logger->LogLastError(ERROR_FILE_NOT_FOUND);
    logger->LogLastError(0xDEADBEEF); // no text: nothing written

    std::string hex = "many: AB";
    for (int i = 1; i < 341; ++i)
        hex += " AB";
    // The system's text ends with its own line break, which leaves an empty line after it.
    EXPECT_EQ(LogTexts(docs), (std::vector<std::string>{"three: 0A FF 00", "none: ", hex,
                                                        "GetLastError = The system cannot find the file specified.\r",
                                                        ""}));
}

TEST(Logger, ConcurrentWritersNeverInterleaveLinesAndEachLineNamesItsProcessAndThread)
{
    const std::string docs = UseTempDocuments();
    Logger *logger = Logger::GetInstance();
    const int writers = 4;
    const int linesEach = 300;
    std::vector<std::thread> threads;
    std::vector<DWORD> threadIds(writers);
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([=, &threadIds] {
            threadIds[w] = GetCurrentThreadId();
            const unsigned char bytes[] = {static_cast<unsigned char>(w), 0x55};
            for (int i = 0; i < linesEach; ++i) {
                logger->LogFormat(true, "writer %d line %d end", w, i);
                logger->LogHex(true, "hex ", bytes, 2);
            }
        });
    for (std::thread &thread : threads)
        thread.join();

    const std::regex whole(R"(^(writer \d line \d+ end|hex 0\d 55)$)");
    std::vector<std::string> texts = LogTexts(docs);
    ASSERT_EQ(texts.size(), static_cast<size_t>(writers * linesEach * 2));
    for (const std::string &text : texts)
        ASSERT_TRUE(std::regex_match(text, whole)) << text;
    // On Linux the main thread's ID is the process ID: only other threads tell the two fields apart.
    const std::regex fields(R"(^[^,]*, (\d+), (\d+), writer (\d) )");
    for (const std::string &line : LogLines(docs))
        if (std::smatch match; std::regex_search(line, match, fields)) {
            ASSERT_EQ(std::stoul(match[1]), GetCurrentProcessId()) << line;
            ASSERT_EQ(std::stoul(match[2]), threadIds[std::stoul(match[3])]) << line;
        }
}
