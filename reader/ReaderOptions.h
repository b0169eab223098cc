#pragma once

// crashReports' command line: one command, its operands and the options it
// takes, each checked for the command it is given to.

#include "signature/SkipRules.h"
#include "store/Catalog.h"
#include "store/StoreName.h"

#include <cstddef>
#include <chrono>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace triage {

inline constexpr std::string_view kDefaultStore = "/var/lib/crash-reports";

enum class Command { Groups, List, Show, Reindex, Signature, Page, Search, Fix, Ignore, Reopen, Merge, Unmerge };

struct ReaderOptions {
    Command command = Command::Groups;
    store::StoreName store{std::string(kDefaultStore)};
    // As given; when empty, the default file is read if it exists.
    std::vector<std::filesystem::path> rules;
    std::optional<store::TimePoint> since;
    std::optional<std::string> group;  // a valid group id
    std::optional<std::size_t> limit;  // 1 or more
    bool json = false;
    // Which groups: in a state (ignored ones only when asked for, or with
    // --all), and of reports that say they come from a host, unit,
    // executable or version.
    std::optional<store::GroupState> state;
    bool all = false;
    std::optional<std::string> host;
    std::optional<std::string> unit;
    std::optional<std::string> executable;
    std::optional<std::string> appVersion;  // --version V
    // Decisions: fixed in a version, ignored for a span, merged into a
    // group, and a note for people.
    std::optional<std::string> fixedIn;
    std::optional<std::chrono::seconds> span;
    std::optional<std::string> into;
    std::string note;
    // show: one valid report or group id; signature: the files; page: the
    // directory; search: the text; decisions: valid group ids.
    std::vector<std::string> operands;
    bool help = false;
    bool version = false;
};

struct ParsedReaderOptions {
    ReaderOptions options;
    std::string error;  // a usage error naming the bad value; empty if none
};

// Parses the arguments after the program name; a span in --since is taken
// back from `now`. Options may come before or after the command.
ParsedReaderOptions parseReaderOptions(std::span<const std::string_view> args, store::TimePoint now);

// Whether a decision changes the store.
bool decides(Command command);

// What a signature's id looks like: 16 lowercase hexadecimal digits.
bool isGroupId(std::string_view text);
// What any store's report ids look like: 1 to 255 letters, digits, '.',
// '_', ':' and '-', not starting with '.'; so never a path, nor "." or "..".
bool isReportId(std::string_view text);

std::string readerUsage();

}  // namespace triage
