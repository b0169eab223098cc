#pragma once

#include <cstddef>
#include <string>

namespace test_support {

// Text shaped like a real crash log, `size` bytes long: a header, registers,
// thread stacks drawn from one program's functions and log lines around them.
// It compresses about as well as such logs do, so that even 1 MiB of it fits
// one datagram. The same seed gives the same text.
std::string makeCrashLog(std::size_t size, unsigned seed = 1);

}  // namespace test_support
