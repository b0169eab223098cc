#pragma once

#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace crashreports {

// A failure that keeps a program from starting; what() is the line to print.
// Everything after start-up reports its outcome as a value instead.
class StartupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "WHAT: REASON" for a system call that failed with `error`. Callers take
// errno into a variable first: building WHAT may change it.
inline std::string withReason(std::string_view what, int error)
{
    std::string line(what);
    line += ": ";
    line += std::strerror(error);
    return line;
}

}  // namespace crashreports
