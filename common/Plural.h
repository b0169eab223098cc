#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace crashreports {

// "1 report", "2 reports".
inline std::string plural(std::uint64_t count, std::string_view noun)
{
    return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

}  // namespace crashreports
