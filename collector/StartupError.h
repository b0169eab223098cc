#pragma once

#include <stdexcept>

namespace collector {

// A failure that keeps the collector from starting; what() is the line to
// print. Everything after start-up reports its outcome as a value instead.
class StartupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace collector
