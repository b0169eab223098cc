#include "store/StoreName.h"

#include <algorithm>

namespace store {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// `text` with each %XX made the byte it stands for.
std::string percentDecoded(std::string_view text)
{
    std::string decoded;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const int high = at + 2 < text.size() && text[at] == '%' ? hexValue(text[at + 1]) : -1;
        const int low = high >= 0 ? hexValue(text[at + 2]) : -1;
        if (low >= 0) {
            decoded += static_cast<char>(high * 16 + low);
            at += 2;
        } else {
            decoded += text[at];
        }
    }
    return decoded;
}

}  // namespace

StoreName::StoreName(std::string text)
    : text_(std::move(text)), database_(isDatabaseUri(text_)), shown_(database_ ? withoutPassword(text_) : text_)
{
}

bool isDatabaseUri(std::string_view text)
{
    return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

std::string withoutPassword(std::string_view uri)
{
    if (!isDatabaseUri(uri)) {
        return std::string(uri);
    }
    std::string shown(uri);
    const std::size_t start = shown.find("://") + 3;
    const std::size_t query = std::min(shown.find('?'), shown.size());
    // The user part ends at the last '@' before the parameters; a password
    // follows its first ':'.
    const std::size_t at = shown.rfind('@', query == 0 ? 0 : query - 1);
    if (at != std::string::npos && at >= start) {
        const std::size_t colon = shown.find(':', start);
        if (colon < at) {
            shown.replace(colon + 1, at - colon - 1, "***");
        }
    }
    // libpq reads a parameter's name percent-decoded, so any spelling of
    // these names is a password.
    for (std::size_t key = shown.find('?'); key != std::string::npos; key = shown.find('&', key + 1)) {
        const std::size_t end = std::min(shown.find('&', key + 1), shown.size());
        const std::size_t equals = shown.find('=', key + 1);
        if (equals >= end) {
            continue;
        }
        const std::string name = percentDecoded(std::string_view(shown).substr(key + 1, equals - key - 1));
        if (name == "password" || name == "sslpassword") {
            shown.replace(equals + 1, end - equals - 1, "***");
        }
    }
    return shown;
}

}  // namespace store
