#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalin {

// The program's own rules checked without audio hardware, permissions or
// the host: channel plans, continuation names, the command parser, the line
// reader, the audio ring, the level rule and the MP4 box scanner.
namespace SelfTest {

struct Check {
    std::string name;
    std::function<bool()> passes; // a check that throws has failed
};

// The fixed list, in output order.
std::vector<Check> checks();

// Prints "PASS  " or "FAIL  " and the name of each check, one line each,
// then an empty line and "SELFTEST OK" or "SELFTEST <n> FAILED", to `fd`.
// Every check runs, whatever the earlier ones gave. Returns 0 when none failed.
int run(const std::vector<Check>& checks, int fd = 1);
int run();

// The checks that need a fixture of their own.
bool lineReaderSplitsPartialWrites();
bool lineReaderCapsAnEndlessLine();
bool ringKeepsOrderAndReportsGaps();
bool continuationsSortInCaptureOrder();
bool boxScannerFindsTruncation();

// One MP4 box: 4-byte big-endian size (payload + 8), the type, the payload.
std::vector<uint8_t> box(std::string_view type, const std::vector<uint8_t>& payload);

} // namespace SelfTest

} // namespace korvalin
