// Writes a sample crash log of the given size to standard output.
// Usage: make_crash_log SIZE [SEED]

#include "CrashLog.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3) {
        std::fputs("usage: make_crash_log SIZE [SEED]\n", stderr);
        return 2;
    }
    const auto size = std::strtoull(argv[1], nullptr, 10);
    const auto seed = argc == 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1U;
    const std::string log = test_support::makeCrashLog(size, seed);
    return std::fwrite(log.data(), 1, log.size(), stdout) == log.size() ? 0 : 1;
}
