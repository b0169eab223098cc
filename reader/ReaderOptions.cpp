#include "reader/ReaderOptions.h"

#include "common/CommandLine.h"
#include "common/TimeText.h"
#include "store/StoreOptions.h"

#include <algorithm>
#include <limits>

namespace triage {

namespace {

// The options, as bits of the set that a command takes.
enum OptionBit : unsigned {
    kStore = 1,
    kRules = 1 << 1,
    kSince = 1 << 2,
    kGroup = 1 << 3,
    kLimit = 1 << 4,
    kJson = 1 << 5,
    kState = 1 << 6,
    kAll = 1 << 7,
    kHost = 1 << 8,
    kUnit = 1 << 9,
    kExecutable = 1 << 10,
    kVersion = 1 << 11,
    kIn = 1 << 12,
    kFor = 1 << 13,
    kInto = 1 << 14,
    kNote = 1 << 15,
};

// In the order of their bits.
constexpr crashreports::OptionName kOptions[] = {
    {"--store", true}, {"--rules", true}, {"--since", true},      {"--group", true},   {"--limit", true},
    {"--json", false}, {"--state", true}, {"--all", false},       {"--host", true},    {"--unit", true},
    {"--executable", true}, {"--version", true}, {"--in", true}, {"--for", true}, {"--into", true},
    {"--note", true},
};

// What groups and list take to choose groups.
constexpr unsigned kChoosing = kState | kAll | kHost | kUnit | kExecutable | kVersion;

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

using crashreports::inQuotes;
using crashreports::invalidValue;

constexpr auto kMany = std::numeric_limits<std::size_t>::max();

constexpr CommandInfo kCommands[] = {
    {Command::Groups, "groups", kStore | kRules | kSince | kJson | kChoosing, "", 0, 0},
    {Command::List, "list", kStore | kSince | kGroup | kLimit | kJson | kChoosing, "", 0, 0},
    {Command::Show, "show", kStore, "REPORT or GROUP", 1, 1},
    {Command::Reindex, "reindex", kStore | kRules, "", 0, 0},
    {Command::Signature, "signature", kRules, "FILE", 1, kMany},
    {Command::Page, "page", kStore, "OUTDIR", 1, 1},
    {Command::Search, "search", kStore | kJson | kState | kAll, "TEXT", 1, 1},
    {Command::Fix, "fix", kStore | kIn | kNote, "GROUP", 1, 1},
    {Command::Ignore, "ignore", kStore | kFor | kNote, "GROUP", 1, 1},
    {Command::Reopen, "reopen", kStore | kNote, "GROUP", 1, 1},
    {Command::Merge, "merge", kStore | kInto | kNote, "GROUP", 1, kMany},
    {Command::Unmerge, "unmerge", kStore | kNote, "GROUP", 1, 1},
};

// A note is one printable line that a table can show.
bool isNote(std::string_view text)
{
    return text.size() <= 1000 && std::ranges::none_of(text, [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
           });
}

// Sets a fact that reports must state, or the version a group was fixed
// in; a usage error, or empty.
std::string setText(std::optional<std::string>& field, const crashreports::OptionName& option, std::string_view value)
{
    field = std::string(value);
    return value.empty() ? invalidValue(option.name, value, "empty") : "";
}

// The options that choose groups and take decisions; a usage error, or
// empty.
std::string setChoosing(ReaderOptions& options, OptionBit bit, const crashreports::OptionName& option,
                        std::string_view value)
{
    switch (bit) {
    case kState:
        options.state = store::groupStateNamed(value);
        return options.state ? "" : invalidValue(option.name, value, "not open, fixed, regressed or ignored");
    case kAll: options.all = true; return "";
    case kHost: return setText(options.host, option, value);
    case kUnit: return setText(options.unit, option, value);
    case kExecutable: return setText(options.executable, option, value);
    case kVersion: return setText(options.appVersion, option, value);
    case kIn:
        options.fixedIn = std::string(value);
        return store::isVersion(value) ? "" : invalidValue(option.name, value, "not a version such as 1.4.2-1");
    case kFor:
        options.span = crashreports::parseSpan(value);
        return options.span && options.span->count() > 0
            ? ""
            : invalidValue(option.name, value, "not a span such as 30m, 12h or 7d");
    case kInto:
        options.into = std::string(value);
        return isGroupId(value) ? "" : invalidValue(option.name, value, "not a group id (16 lowercase hex digits)");
    case kNote:
        options.note = std::string(value);
        return isNote(value) ? "" : invalidValue(option.name, value, "not one line of at most 1000 bytes");
    default: return "";
    }
}

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
    default: return setChoosing(options, bitOf(index), option, value);
    }
}

// Checks the operands of `command`; a usage error, or empty.
std::string checkOperands(const CommandInfo& command, unsigned given, std::span<const std::string_view> operands)
{
    if (command.command == Command::Show && !isReportId(operands.front())) {
        return invalidValue("REPORT", operands.front(), "not a report id or a group id");
    }
    if ((command.command == Command::Page || command.command == Command::Search) && operands.front().empty()) {
        return invalidValue(command.operand, operands.front(), "empty");
    }
    if (decides(command.command)) {
        const auto bad = std::ranges::find_if(operands, [](auto operand) { return !isGroupId(operand); });
        if (bad != operands.end()) {
            return invalidValue("GROUP", *bad, "not a group id (16 lowercase hex digits)");
        }
    }
    if (command.command == Command::Merge && (given & kInto) == 0) {
        return "missing --into GROUP for merge";
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
    return checkOperands(command, given, operands);
}

// Sets the command and operands from `words`; a usage error, or empty.
std::string takeCommand(ReaderOptions& options, unsigned given, std::span<const std::string_view> words)
{
    if (words.empty()) {
        return "missing COMMAND (groups, list, show, search, fix, ignore, reopen, merge, unmerge, reindex, signature "
               "or page)";
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

bool decides(Command command)
{
    return command == Command::Fix || command == Command::Ignore || command == Command::Reopen
        || command == Command::Merge || command == Command::Unmerge;
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

namespace {

std::string commandsHelp()
{
    return "Commands:\n"
           "  groups             one line per group, latest activity first: its id, reports, sending\n"
           "                     hosts, first and last report, state, mark, first and last version,\n"
           "                     title; with --rules, also the group that its newest report would\n"
           "                     have under those rules; ignored groups only when asked for\n"
           "  list               one line per report, newest first: received, id, group, sender,\n"
           "                     bytes, host, unit, executable, version, title\n"
           "  show REPORT        the report's bytes, exactly as stored (on a terminal, with\n"
           "                     control characters shown as \\xNN)\n"
           "  show GROUP         the group, its state, the decisions taken on it, its signatures\n"
           "                     and its newest report\n"
           "  search TEXT        the groups whose title, signature or reports' facts hold TEXT\n"
           "  fix GROUP          the group is fixed: a report received after it brings it back as\n"
           "                     regressed (with --in, only one of VERSION or a later version)\n"
           "  ignore GROUP       the group makes no news and is left out of groups, list and the\n"
           "                     page (with --for, until SPAN has passed)\n"
           "  reopen GROUP       the group is open again\n"
           "  merge GROUP...     the groups' reports count in the group --into names\n"
           "  unmerge GROUP      the group's reports count in it again\n"
           "  reindex            rebuild the store's index (a database's groups) from its reports,\n"
           "                     under the skip rules; decisions are kept\n"
           "  signature FILE...  each report file's kind, signature, id, title and facts under the\n"
           "                     skip rules: try a rules file before reindexing with it\n"
           "  page OUTDIR        write a web page of the groups into OUTDIR\n"
           "\n"
           "A decision on a group merged into another is taken on that one. Decisions are for root and\n"
           "the members of crash-reports-admin (on a database: roles that may write its decisions).\n";
}

std::string optionsHelp()
{
    return "Options:\n"
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
          "  --group ID      only the reports of group ID (and of the groups merged into it)\n"
          "  --limit N       only the N newest reports\n"
          "  --state STATE   only groups that are open, fixed, regressed or ignored\n"
          "  --all           ignored groups too\n"
          "  --host H, --unit U, --executable E, --version V\n"
          "                  only reports that say they come from that host, unit, executable or\n"
          "                  version\n"
          "  --in VERSION    fix: the version the fix is in (Debian's order of versions)\n"
          "  --for SPAN      ignore: for SPAN only (30m, 12h, 7d)\n"
          "  --into GROUP    merge: the group to merge into\n"
          "  --note TEXT     a note that goes with the decision\n"
          "  --json          one JSON array instead of a table\n"
          "  --help          print this help and exit\n"
          "  --version       print the version and exit\n";
}

}  // namespace

std::string readerUsage()
{
    return "usage: crashReports [--store STORE] [--rules FILE]... groups [--since TIME] [CHOICE]... [--json]\n"
           "       crashReports [--store STORE] list [--group ID] [--since TIME] [CHOICE]... [--limit N] [--json]\n"
           "       crashReports [--store STORE] show REPORT|GROUP\n"
           "       crashReports [--store STORE] search TEXT [--state STATE] [--all] [--json]\n"
           "       crashReports [--store STORE] fix GROUP [--in VERSION] [--note TEXT]\n"
           "       crashReports [--store STORE] ignore GROUP [--for SPAN] [--note TEXT]\n"
           "       crashReports [--store STORE] reopen GROUP\n"
           "       crashReports [--store STORE] merge GROUP... --into GROUP\n"
           "       crashReports [--store STORE] unmerge GROUP\n"
           "       crashReports [--store STORE] [--rules FILE]... reindex\n"
           "       crashReports [--rules FILE]... signature FILE...\n"
           "       crashReports [--store STORE] page OUTDIR\n"
           "       crashReports --help | --version\n"
           "CHOICE: --state STATE, --all, --host H, --unit U, --executable E, --version V\n"
           "\n"
           "Tells what crashed, from the reports that collectCrashReports stored. Reports that share a\n"
           "crash signature (the kind of error and the crashing frames) form a group.\n"
           "\n"
        + commandsHelp() + "\n" + optionsHelp()
        + "\n"
          "Options take their value as the next argument or after \"=\". Times are printed in UTC.\n"
          "\n"
          "Exit status: 0 on success; 1 if the store, a report, a group, a file or standard output\n"
          "fails, or a decision may not be taken; 2 for a usage error.\n";
}

}  // namespace triage
