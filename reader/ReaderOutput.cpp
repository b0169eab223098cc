#include "reader/ReaderOutput.h"

#include "common/TimeText.h"
#include "signature/Printable.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>
#include <vector>

namespace triage {

std::string cell(std::string_view text, std::size_t maxBytes)
{
    std::string line = printable(text, maxBytes);
    return line.empty() ? "-" : line;
}

std::string cellTime(store::TimePoint time)
{
    return crashreports::formatTime(std::chrono::floor<std::chrono::seconds>(time));
}

namespace {

using nlohmann::json;

// Code points, which is what a terminal advances by for the text cell()
// leaves, wide characters aside.
std::size_t width(std::string_view text)
{
    return static_cast<std::size_t>(
        std::ranges::count_if(text, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

struct Column {
    std::string_view name;
    bool alignRight;
};

// Rows under a header, each column as wide as its widest cell; the last
// column is left ragged. A row may carry a note, a line of its own under it.
class Table {
public:
    explicit Table(std::vector<Column> columns) : columns_(std::move(columns))
    {
        std::vector<std::string> header;
        for (const auto& column : columns_) {
            header.emplace_back(column.name);
        }
        rows_.push_back({std::move(header), {}});
    }

    void add(std::vector<std::string> cells, std::string note = {}) { rows_.push_back({std::move(cells), std::move(note)}); }

    std::string text() const
    {
        std::vector<std::size_t> widths(columns_.size(), 0);
        for (const auto& row : rows_) {
            for (std::size_t index = 0; index < row.cells.size(); ++index) {
                widths[index] = std::max(widths[index], width(row.cells[index]));
            }
        }
        std::string text;
        for (const auto& row : rows_) {
            appendRow(text, row.cells, widths);
            if (!row.note.empty()) {
                text += "  " + row.note + "\n";
            }
        }
        return text;
    }

private:
    struct Row {
        std::vector<std::string> cells;
        std::string note;
    };

    void appendRow(std::string& text, const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) const
    {
        for (std::size_t index = 0; index < cells.size(); ++index) {
            const bool last = index + 1 == cells.size();
            const std::string padding(widths[index] - width(cells[index]), ' ');
            text += columns_[index].alignRight ? padding + cells[index] : cells[index] + (last ? "" : padding);
            text += last ? "\n" : "  ";
        }
    }

    std::vector<Column> columns_;
    std::vector<Row> rows_;
};

// Invalid UTF-8 in a report's text becomes U+FFFD instead of an exception.
std::string dump(const json& array)
{
    return array.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

// A note saying which group a group's newest report would join, or empty
// if it stays.
std::string regroupNote(const store::GroupSummary& group, const std::optional<Signature>& underRules)
{
    if (!underRules || underRules->id == group.group) {
        return {};
    }
    return "under the rules given: " + cell(underRules->id) + "  " + cell(underRules->title);
}

// A text, or null where there is none.
json orNull(const std::string& text)
{
    return text.empty() ? json(nullptr) : json(text);
}

json groupJson(const store::DecidedGroup& decided)
{
    const store::GroupSummary& group = decided.group;
    const store::Standing& standing = decided.standing;
    json object = {{"group", group.group},
                   {"title", group.title},
                   {"signature", group.signature},
                   {"count", group.count},
                   {"hosts", group.hosts},
                   {"first_seen", crashreports::formatTime(group.firstSeen)},
                   {"last_seen", crashreports::formatTime(group.lastSeen)},
                   {"newest", group.newest},
                   {"state", store::nameOf(standing.state)},
                   {"mark", orNull(std::string(store::nameOf(decided.mark)))},
                   {"merged", decided.merged},
                   {"first_version", orNull(group.firstVersion)},
                   {"last_version", orNull(group.lastVersion)},
                   {"note", standing.decided ? orNull(standing.decided->note) : json(nullptr)}};
    if (standing.fixedAt) {
        object["fixed_at"] = crashreports::formatTime(*standing.fixedAt);
        object["fixed_in"] = orNull(standing.fixedIn);
    }
    if (standing.state == store::GroupState::ignored && standing.decided->until) {
        object["ignored_until"] = crashreports::formatTime(*standing.decided->until);
    }
    return object;
}

// "1.2-1 .. 1.4-2", one of them, or "-".
std::string versionsCell(const store::GroupSummary& group)
{
    if (group.firstVersion.empty() || group.lastVersion.empty() || group.firstVersion == group.lastVersion) {
        return cell(group.firstVersion.empty() ? group.lastVersion : group.firstVersion);
    }
    return cell(group.firstVersion) + ".." + cell(group.lastVersion);
}

json reportJson(const store::ReportSummary& report)
{
    json object = {{"report", report.report},
                   {"group", report.group},
                   {"received", crashreports::formatTime(report.received)},
                   {"sender", report.sender},
                   {"bytes", report.bytes},
                   {"title", report.title}};
    for (const auto& [name, value] :
         {std::pair{"host", &report.host}, std::pair{"unit", &report.unit}, std::pair{"executable", &report.executable},
          std::pair{"signal", &report.signal}, std::pair{"version", &report.version}}) {
        if (!value->empty()) {
            object[name] = *value;
        }
    }
    return object;
}

}  // namespace

// A row's notes: the groups merged into it, and where its newest report
// would go under other rules.
std::string groupNotes(const store::DecidedGroup& group, const std::optional<Signature>* underRules)
{
    std::string notes;
    if (!group.merged.empty()) {
        notes += "merged:";
        for (const auto& id : group.merged) {
            notes += ' ';
            notes += cell(id);
        }
    }
    const std::string regrouped = underRules == nullptr ? "" : regroupNote(group.group, *underRules);
    return notes.empty() || regrouped.empty() ? notes + regrouped : notes + "\n  " + regrouped;
}

std::string groupsTable(std::span<const store::DecidedGroup> groups, std::span<const std::optional<Signature>> underRules)
{
    Table table({{"GROUP", false}, {"COUNT", true}, {"HOSTS", true}, {"FIRST-SEEN", false}, {"LAST-SEEN", false},
                 {"STATE", false}, {"MARK", false}, {"VERSIONS", false}, {"TITLE", false}});
    for (std::size_t index = 0; index < groups.size(); ++index) {
        const auto& group = groups[index].group;
        table.add({cell(group.group), std::to_string(group.count), std::to_string(group.hosts),
                   cellTime(group.firstSeen), cellTime(group.lastSeen),
                   std::string(store::nameOf(groups[index].standing.state)),
                   cell(std::string(store::nameOf(groups[index].mark))), versionsCell(group), cell(group.title)},
                  groupNotes(groups[index], underRules.empty() ? nullptr : &underRules[index]));
    }
    return table.text();
}

std::string groupsJson(std::span<const store::DecidedGroup> groups, std::span<const std::optional<Signature>> underRules)
{
    json array = json::array();
    for (std::size_t index = 0; index < groups.size(); ++index) {
        json object = groupJson(groups[index]);
        if (!underRules.empty() && underRules[index]) {
            const Signature& signature = *underRules[index];
            object["under_rules"] = {{"group", signature.id}, {"signature", signature.text}, {"title", signature.title}};
        }
        array.push_back(std::move(object));
    }
    return dump(array);
}

namespace {

void escapeByte(std::string& out, unsigned char byte)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

}  // namespace

std::string forTerminal(std::string_view bytes)
{
    std::string out;
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte == '\n' || byte == '\t' || (byte >= 0x20 && byte < 0x7f)) {
            out += bytes[at++];
            continue;
        }
        std::uint32_t codePoint = 0;
        const std::size_t length = byte >= 0x80 ? sequenceLength(bytes.substr(at), codePoint) : 0;
        // The C1 controls, U+0080 to U+009F, are escaped too.
        if (length == 0 || codePoint <= 0x9f) {
            const std::size_t escaped = length == 0 ? 1 : length;
            for (std::size_t index = 0; index < escaped; ++index) {
                escapeByte(out, static_cast<unsigned char>(bytes[at + index]));
            }
            at += escaped;
            continue;
        }
        out.append(bytes.substr(at, length));
        at += length;
    }
    return out;
}

std::string reportsTable(std::span<const store::ReportSummary> reports)
{
    Table table({{"RECEIVED", false}, {"REPORT", false}, {"GROUP", false}, {"SENDER", false}, {"BYTES", true},
                 {"HOST", false}, {"UNIT", false}, {"EXECUTABLE", false}, {"VERSION", false}, {"TITLE", false}});
    for (const auto& report : reports) {
        table.add({cellTime(report.received), cell(report.report), cell(report.group), cell(report.sender),
                   std::to_string(report.bytes), cell(report.host), cell(report.unit), cell(report.executable),
                   cell(report.version), cell(report.title)});
    }
    return table.text();
}

std::string reportsJson(std::span<const store::ReportSummary> reports)
{
    json array = json::array();
    for (const auto& report : reports) {
        array.push_back(reportJson(report));
    }
    return dump(array);
}

std::string signatureText(std::string_view file, const Signature& signature)
{
    const std::pair<std::string_view, const std::string*> fields[] = {
        {"kind", &signature.kind},
        {"signature", &signature.text},
        {"id", &signature.id},
        {"title", &signature.title},
        {"host", &signature.facts.host},
        {"unit", &signature.facts.unit},
        {"executable", &signature.facts.executable},
        {"signal", &signature.facts.signal},
        {"version", &signature.facts.version},
    };
    std::string text = cell(file) + "\n";
    for (const auto& [name, value] : fields) {
        text += "  " + std::string(name) + ":" + std::string(12 - name.size(), ' ') + cell(*value) + "\n";
    }
    return text;
}

}  // namespace triage
