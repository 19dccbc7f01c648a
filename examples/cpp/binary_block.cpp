// binary_block.cpp - an IEEE 488.2 definite-length block ("#<n><length><bytes>") out and back.
//
// Sends a block of bytes, NULs included, to an instrument that echoes what it does not know (the
// 2955-L of examples/bench.json), reads the block back piece by piece as its header describes it,
// and reads a raw reply.
//     OSTREL_BENCH=examples/bench.json ./binary_block
#include "ostrel.hpp"

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> Block(const std::vector<std::uint8_t> &data)
{
    const std::string length = std::to_string(data.size());
    const std::string header = "#" + std::to_string(length.size()) + length;
    std::vector<std::uint8_t> block(header.begin(), header.end());
    block.insert(block.end(), data.begin(), data.end());
    block.push_back('\n');
    return block;
}

std::vector<std::uint8_t> ReadBlock(const ostrel::Instrument &instrument)
{
    const std::vector<std::uint8_t> start = instrument.read_binary(2);
    if (start[0] != '#' || start[1] < '1' || start[1] > '9')
        throw std::runtime_error("not a definite-length block");
    const std::vector<std::uint8_t> digits = instrument.read_binary(start[1] - '0');
    std::vector<std::uint8_t> data = instrument.read_binary(std::stoul(std::string(digits.begin(), digits.end())));
    instrument.read_binary(1); // the line end after it
    return data;
}

void Print(const char *what, const std::vector<std::uint8_t> &bytes)
{
    std::cout << what << " " << bytes.size() << " bytes:";
    for (std::uint8_t byte : bytes)
        std::cout << ' ' << static_cast<int>(byte);
    std::cout << '\n';
}

} // namespace

int main()
{
    try {
        ostrel::discover();
        const ostrel::Instrument logger("2955-L SN30502");
        const std::vector<std::uint8_t> data = {0, 1, 2, 0, 255, 10, 13, 42};
        logger.write_binary(Block(data));
        const std::vector<std::uint8_t> back = ReadBlock(logger);
        Print("block", back);
        logger.write("READ:RAW?");
        Print("raw", logger.read_binary(0));
        return back == data ? 0 : 1;
    } catch (const std::exception &error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
}
