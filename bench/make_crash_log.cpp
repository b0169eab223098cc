// Writes sample crash logs to standard output.
// Usage: make_crash_log SIZE [SEED]      one log of SIZE bytes
//        make_crash_log --many COUNT MIN MAX
//                                        COUNT distinct logs of MIN to MAX
//                                        bytes, each after its size as a
//                                        frame's 4-byte prefix

#include "CrashLog.h"
#include "common/FrameFormat.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool writeAll(const std::string& bytes)
{
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
}

int writeMany(unsigned long count, unsigned long min, unsigned long max)
{
    for (unsigned long index = 0; index < count; ++index) {
        const auto size = min + index * 7919 % (max - min + 1);
        const std::string log = test_support::makeCrashLog(size, static_cast<unsigned>(index));
        std::string prefix(frame_format::kPrefixSize, '\0');
        frame_format::encodePrefix(static_cast<std::uint32_t>(log.size()), reinterpret_cast<unsigned char*>(prefix.data()));
        if (!writeAll(prefix) || !writeAll(log)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc == 5 && std::strcmp(argv[1], "--many") == 0) {
        const auto min = std::strtoul(argv[3], nullptr, 10);
        const auto max = std::strtoul(argv[4], nullptr, 10);
        return min <= max ? writeMany(std::strtoul(argv[2], nullptr, 10), min, max) : 2;
    }
    if (argc < 2 || argc > 3) {
        std::fputs("usage: make_crash_log SIZE [SEED] | --many COUNT MIN MAX\n", stderr);
        return 2;
    }
    const auto size = std::strtoull(argv[1], nullptr, 10);
    const auto seed = argc == 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1U;
    return writeAll(test_support::makeCrashLog(size, seed)) ? 0 : 1;
}
