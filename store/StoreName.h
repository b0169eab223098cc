#pragma once

// Where a store is, as the operator names it: a directory, or a database
// named by a postgresql:// or postgres:// URI. Read once, where the name is
// given, and handed on as it is: whoever opens the store takes text(), and
// every line that names it takes shown(), which never holds a password.

#include <string>
#include <string_view>

namespace store {

class StoreName {
public:
    explicit StoreName(std::string text);

    // Whether it names a database rather than a directory.
    bool isDatabase() const { return database_; }
    // As given.
    const std::string& text() const { return text_; }
    // Fit for a line: a URI whose password, in the user part or as a
    // parameter, became "***"; a directory as it is.
    const std::string& shown() const { return shown_; }

private:
    std::string text_;
    bool database_;
    std::string shown_;
};

// Whether `text` is a database's URI.
bool isDatabaseUri(std::string_view text);
// `uri` with its password, in the user part or as a parameter, made "***";
// anything but a database's URI as it is.
std::string withoutPassword(std::string_view uri);

}  // namespace store
