// What crashReports show GROUP prints: a group as people decided on it.
// See ReaderOutput.h.

#include "reader/ReaderOutput.h"

namespace triage {

namespace {

// The parts one after the other.
std::string join(std::initializer_list<std::string_view> parts)
{
    std::string joined;
    for (const std::string_view part : parts) {
        joined.append(part);
    }
    return joined;
}

// A text as a line of its own: longer than a table's cell may be.
std::string line(std::string_view text)
{
    return cell(text, 4 * kMaxTextBytes);
}

// "2026-12-01T10:00:00Z  alice  fix in 1.4-1: the note".
std::string decisionText(const store::Decision& decision)
{
    std::string text = join({cellTime(decision.at), "  ", line(decision.by), "  ", store::nameOf(decision.kind)});
    if (decision.kind == store::DecisionKind::merge) {
        text += join({" ", line(decision.group), " into ", line(decision.into)});
    } else if (decision.kind == store::DecisionKind::unmerge) {
        text += join({" ", line(decision.group)});
    }
    if (!decision.version.empty()) {
        text += join({decision.kind == store::DecisionKind::regressed ? " by a report of " : " in ",
                      line(decision.version)});
    }
    if (decision.until) {
        text += join({" until ", cellTime(*decision.until)});
    }
    if (decision.kind == store::DecisionKind::regressed && !decision.reports.empty()) {
        text += join({" (", line(decision.reports.front()), ")"});
    }
    return decision.note.empty() ? text : join({text, ": ", line(decision.note)});
}

}  // namespace

std::string standingText(const store::Standing& standing)
{
    std::string text(store::nameOf(standing.state));
    if (!standing.decided) {
        return text;
    }
    if (standing.state == store::GroupState::regressed && standing.regression) {
        text += join({" since ", cellTime(standing.regression->at)});
        if (!standing.regression->version.empty()) {
            text += join({" by a report of ", line(standing.regression->version)});
        }
        text += ", fixed";
    }
    if (!standing.fixedIn.empty()) {
        text += join({" in ", line(standing.fixedIn)});
    }
    const store::Decision& decided = *standing.decided;
    if (standing.state == store::GroupState::ignored && decided.until) {
        text += join({" until ", cellTime(*decided.until)});
    }
    text += join({" since ", cellTime(decided.at), " by ", line(decided.by)});
    return decided.note.empty() ? text : join({text, ": ", line(decided.note)});
}

std::string groupText(const store::DecidedGroup& decided, std::span<const store::Decision> decisions,
                      std::span<const std::pair<std::string, std::string>> signatures,
                      const std::optional<store::ReportSummary>& newest)
{
    const store::GroupSummary& group = decided.group;
    std::string text = join({"group ", line(group.group), ": ", line(group.title), "\n"});
    text += join({"state:       ", standingText(decided.standing), "\n"});
    if (decided.mark != store::Mark::none) {
        text += join({"mark:        ", store::nameOf(decided.mark), "\n"});
    }
    text += join({"reports:     ", std::to_string(group.count), " from ", std::to_string(group.hosts), " hosts, ",
                  cellTime(group.firstSeen), " to ", cellTime(group.lastSeen), "\n"});
    text += join({"versions:    ", line(group.firstVersion), " to ", line(group.lastVersion), "\n"});
    for (const auto& [id, signature] : signatures) {
        text += id == group.group ? join({"signature:   ", line(signature), "\n"})
                                  : join({"merged:      ", line(id), "  ", line(signature), "\n"});
    }
    if (newest) {
        text += join({"newest:      ", line(newest->report), " from ", line(newest->sender), " at ",
                      cellTime(newest->received), "\n"});
        for (const auto& [name, value] : {std::pair{"host", &newest->host}, std::pair{"unit", &newest->unit},
                                          std::pair{"executable", &newest->executable},
                                          std::pair{"version", &newest->version}}) {
            if (!value->empty()) {
                const std::string_view label(name);
                text += join({"  ", label, ":", std::string(11 - label.size(), ' '), line(*value), "\n"});
            }
        }
    }
    text += decisions.empty() ? "decisions:   none\n" : "decisions:\n";
    for (const store::Decision& decision : decisions) {
        text += join({"  ", decisionText(decision), "\n"});
    }
    return text;
}

}  // namespace triage
