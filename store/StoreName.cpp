#include "store/StoreName.h"

#include <algorithm>

namespace store {

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
    for (std::size_t key = shown.find('?'); key != std::string::npos; key = shown.find('&', key + 1)) {
        if (shown.compare(key + 1, 9, "password=") == 0) {
            const std::size_t end = std::min(shown.find('&', key + 1), shown.size());
            shown.replace(key + 10, end - key - 10, "***");
        }
    }
    return shown;
}

}  // namespace store
