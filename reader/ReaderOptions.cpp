#include "reader/ReaderOptions.h"

#include "common/CommandLine.h"
#include "common/TimeText.h"

#include <algorithm>
#include <limits>

namespace triage {

namespace {

// The options, as bits of the set that a command takes.
enum OptionBit : unsigned { kStore = 1, kRules = 2, kSince = 4, kGroup = 8, kLimit = 16, kJson = 32 };

// In the order of their bits.
constexpr crashreports::OptionName kOptions[] = {
    {"--store", true}, {"--rules", true}, {"--since", true}, {"--group", true}, {"--limit", true}, {"--json", false},
};

constexpr OptionBit bitOf(std::size_t option)
{
    return static_cast<OptionBit>(1U << option);
}

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

using crashreports::inQuotes;
using crashreports::invalidValue;

// Sets the option `kOptions[index]` from `value`; a usage error, or empty.
std::string setOption(ReaderOptions& options, std::size_t index, std::string_view value, store::TimePoint now)
{
    const crashreports::OptionName& option = kOptions[index];
    switch (bitOf(index)) {
    case kStore:
        options.store = store::StoreName(std::string(value));
        return value.empty() ? invalidValue(option.name, value, "empty") : "";
    case kRules: options.rules.emplace_back(value); return "";
    case kSince:
        options.since = crashreports::parseTime(value, now);
        return options.since ? ""
                             : invalidValue(option.name, value,
                                       "not an RFC 3339 time or a span such as 30s, 90m, 2h or 7d");
    case kGroup:
        options.group = std::string(value);
        return isGroupId(value) ? "" : invalidValue(option.name, value, "not a group id (16 lowercase hex digits)");
    case kLimit:
        options.limit = crashreports::parseNumber(value, 1, std::numeric_limits<std::size_t>::max());
        return options.limit ? "" : invalidValue(option.name, value, "not a whole number from 1 up");
    case kJson: options.json = true; return "";
    }
    return "";
}

// Checks the options given and the operands against what `command` takes;
// a usage error, or empty.
std::string checkCommand(const CommandInfo& command, unsigned given, std::span<const std::string_view> operands)
{
    for (std::size_t option = 0; option < std::size(kOptions); ++option) {
        if ((given & bitOf(option)) != 0 && (command.options & bitOf(option)) == 0) {
            return "option " + std::string(kOptions[option].name) + " does not apply to " + std::string(command.name);
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
        return invalidValue("REPORT", operands.front(), "not a report id");
    }
    if (command.command == Command::Page && operands.front().empty()) {
        return invalidValue("OUTDIR", operands.front(), "empty");
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
    const auto line = crashreports::readCommandLine(args, kOptions, [&](std::size_t option, std::string_view value) {
        given |= bitOf(option);
        return setOption(parsed.options, option, value, now);
    });
    parsed.options.help = line.help;
    parsed.options.version = line.version;
    parsed.error = line.error;
    if (parsed.error.empty() && !line.help && !line.version) {
        parsed.error = takeCommand(parsed.options, given, line.operands);
    }
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
           "                     bytes, host, unit, executable, title\n"
           "  show REPORT        the report's bytes, exactly as stored (on a terminal, with\n"
           "                     control characters shown as \\xNN)\n"
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
