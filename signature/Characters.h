#pragma once

// Private to signature/.

// The classes of ASCII characters that the signature's readers look for,
// whatever the locale: a report's bytes are read as the C locale would.

namespace triage {

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isAlpha(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
constexpr bool isHexDigit(char c) { return isDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

}  // namespace triage
