#include "reader/ReaderOptions.h"

#include "common/TimeText.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace triage {

namespace {

// The options, as bits of the set that a command takes.
enum OptionBit : unsigned { kStore = 1, kRules = 2, kSince = 4, kGroup = 8, kLimit = 16, kJson = 32 };

struct OptionInfo {
    std::string_view name;
    OptionBit bit;
    bool takesValue;
};

constexpr OptionInfo kOptions[] = {
    {"--store", kStore, true}, {"--rules", kRules, true}, {"--since", kSince, true},
    {"--group", kGroup, true}, {"--limit", kLimit, true}, {"--json", kJson, false},
};

struct CommandInfo {
    Command command;
    std::string_view name;
    unsigned options;
    std::string_view operand;  // its name in messages; empty for none
    std::size_t minOperands;
    std::size_t maxOperands;
};

constexpr CommandInfo kCommands[] = {
    {Command::Groups, "groups", kStore | kRules | kSince | kJson, "", 0, 0},
    {Command::List, "list", kStore | kSince | kGroup | kLimit | kJson, "", 0, 0},
    {Command::Show, "show", kStore, "REPORT", 1, 1},
    {Command::Reindex, "reindex", kStore | kRules, "", 0, 0},
    {Command::Signature, "signature", kRules, "FILE", 1, std::numeric_limits<std::size_t>::max()},
    {Command::Page, "page", kStore, "OUTDIR", 1, 1},
};

std::string inQuotes(std::string_view text)
{
    std::string line(1, '"');
    line += text;
    line += '"';
    return line;
}

std::string invalid(std::string_view what, std::string_view value, std::string_view expected)
{
    return "invalid " + std::string(what) + " " + inQuotes(value) + ": " + std::string(expected);
}

std::optional<std::size_t> parseLimit(std::string_view text)
{
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value == 0) {
        return std::nullopt;
    }
    return value;
}

// Sets `option` from `value`; a usage error, or empty.
std::string setOption(ReaderOptions& options, const OptionInfo& option, std::string_view value, store::TimePoint now)
{
    switch (option.bit) {
    case kStore:
        options.store = std::string(value);
        return value.empty() ? invalid(option.name, value, "empty") : "";
    case kRules: options.rules.emplace_back(value); return "";
    case kSince:
        options.since = crashreports::parseTime(value, now);
        return options.since ? ""
                             : invalid(option.name, value,
                                       "not an RFC 3339 time or a span such as 30s, 90m, 2h or 7d");
    case kGroup:
        options.group = std::string(value);
        return isGroupId(value) ? "" : invalid(option.name, value, "not a group id (16 lowercase hex digits)");
    case kLimit:
        options.limit = parseLimit(value);
        return options.limit ? "" : invalid(option.name, value, "not a whole number from 1 up");
    case kJson: options.json = true; return "";
    }
    return "";
}

// Takes the option that `args[index]` names, its value from the same
// argument after "=" or from the next one; a usage error, or empty.
std::string takeOption(ParsedReaderOptions& parsed, unsigned& given, std::span<const std::string_view> args,
                       std::size_t& index, store::TimePoint now)
{
    const std::string_view arg = args[index];
    const auto equals = arg.find('=');
    const auto name = arg.substr(0, equals);
    const auto* option = std::ranges::find(kOptions, name, &OptionInfo::name);
    if (option == std::end(kOptions)) {
        return "unknown option " + inQuotes(arg);
    }
    given |= option->bit;
    if (!option->takesValue) {
        return equals == std::string_view::npos ? setOption(parsed.options, *option, {}, now)
                                                : "option " + std::string(name) + " takes no value";
    }
    if (equals != std::string_view::npos) {
        return setOption(parsed.options, *option, arg.substr(equals + 1), now);
    }
    if (index + 1 == args.size()) {
        return "option " + std::string(name) + " needs a value";
    }
    return setOption(parsed.options, *option, args[++index], now);
}

// Checks the options given and the operands against what `command` takes;
// a usage error, or empty.
std::string checkCommand(const CommandInfo& command, unsigned given, std::span<const std::string_view> operands)
{
    for (const auto& option : kOptions) {
        if ((given & option.bit) != 0 && (command.options & option.bit) == 0) {
            return "option " + std::string(option.name) + " does not apply to " + std::string(command.name);
        }
    }
    const std::string name(command.name);
    if (operands.size() < command.minOperands) {
        return "missing " + std::string(command.operand) + " for " + name;
    }
    if (operands.size() > command.maxOperands) {
        return command.maxOperands == 0
            ? name + " takes no operand, got " + inQuotes(operands.front())
            : name + " takes one " + std::string(command.operand) + ", got " + std::to_string(operands.size());
    }
    if (command.command == Command::Show && !isReportId(operands.front())) {
        return invalid("REPORT", operands.front(), "not a report id");
    }
    if (command.command == Command::Page && operands.front().empty()) {
        return invalid("OUTDIR", operands.front(), "empty");
    }
    return "";
}

// Sets the command and operands from `words`; a usage error, or empty.
std::string takeCommand(ReaderOptions& options, unsigned given, std::span<const std::string_view> words)
{
    if (words.empty()) {
        return "missing COMMAND (groups, list, show, reindex, signature or page)";
    }
    const auto* command = std::ranges::find(kCommands, words.front(), &CommandInfo::name);
    if (command == std::end(kCommands)) {
        return "unknown command " + inQuotes(words.front());
    }
    const auto operands = words.subspan(1);
    if (auto error = checkCommand(*command, given, operands); !error.empty()) {
        return error;
    }
    options.command = command->command;
    options.operands.assign(operands.begin(), operands.end());
    return "";
}

}  // namespace

ParsedReaderOptions parseReaderOptions(std::span<const std::string_view> args, store::TimePoint now)
{
    ParsedReaderOptions parsed;
    unsigned given = 0;
    std::vector<std::string_view> words;
    bool optionsEnded = false;
    for (std::size_t index = 0; index < args.size(); ++index) {
        const std::string_view arg = args[index];
        if (optionsEnded || !arg.starts_with("-") || arg == "-") {
            words.push_back(arg);
        } else if (arg == "--help" || arg == "-h" || arg == "--version") {
            (arg == "--version" ? parsed.options.version : parsed.options.help) = true;
            return parsed;
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (parsed.error = takeOption(parsed, given, args, index, now); !parsed.error.empty()) {
            return parsed;
        }
    }
    parsed.error = takeCommand(parsed.options, given, words);
    return parsed;
}

bool isGroupId(std::string_view text)
{
    const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    return text.size() == 16 && std::ranges::all_of(text, hex);
}

bool isReportId(std::string_view text)
{
    const auto allowed = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '_'
            || c == ':' || c == '-';
    };
    return !text.empty() && text.size() <= 255 && text.front() != '.' && std::ranges::all_of(text, allowed);
}

std::string readerUsage()
{
    return "usage: crashReports [--store STORE] [--rules FILE]... groups [--since TIME] [--json]\n"
           "       crashReports [--store STORE] list [--group ID] [--since TIME] [--limit N] [--json]\n"
           "       crashReports [--store STORE] show REPORT\n"
           "       crashReports [--store STORE] [--rules FILE]... reindex\n"
           "       crashReports [--rules FILE]... signature FILE...\n"
           "       crashReports [--store STORE] page OUTDIR\n"
           "       crashReports --help | --version\n"
           "\n"
           "Tells what crashed, from the reports that collectCrashReports stored. Reports that share a\n"
           "crash signature (the kind of error and the crashing frames) form a group.\n"
           "\n"
           "Commands:\n"
           "  groups             one line per group, latest activity first: its id, reports, sending\n"
           "                     hosts, first and last report, title; with --rules, also the group\n"
           "                     that its newest report would have under those rules\n"
           "  list               one line per report, newest first: received, id, group, sender,\n"
           "                     bytes, host, unit, title\n"
           "  show REPORT        the report's bytes, exactly as stored\n"
           "  reindex            rebuild the store's index (a database's groups) from its reports,\n"
           "                     under the skip rules\n"
           "  signature FILE...  each report file's kind, signature, id, title and facts under the\n"
           "                     skip rules: try a rules file before reindexing with it\n"
           "  page OUTDIR        write a web page of the groups into OUTDIR\n"
           "\n"
           "Options:\n"
           "  --store STORE   the report directory (default "
        + std::string(kDefaultStore)
        + "), or a database\n"
          "                  as a postgresql:// URI\n"
          "  --rules FILE    frames to leave out of signatures, one extended regular expression a line,\n"
          "                  besides the built-in ones; repeatable (default for reindex and signature:\n"
          "                  "
        + std::string(kDefaultRulesFile)
        + " if it exists)\n"
          "  --since TIME    only reports received since TIME: RFC 3339 (2026-12-08T11:59:59Z,\n"
          "                  2026-12-08) or a span back from now (30s, 90m, 2h, 7d)\n"
          "  --group ID      only the reports of group ID\n"
          "  --limit N       only the N newest reports\n"
          "  --json          one JSON array instead of a table\n"
          "  --help          print this help and exit\n"
          "  --version       print the version and exit\n"
          "\n"
          "Options take their value as the next argument or after \"=\". Times are printed in UTC.\n"
          "\n"
          "Exit status: 0 on success; 1 if the store, a report, a group, a file or standard output\n"
          "fails; 2 for a usage error.\n";
}

}  // namespace triage
