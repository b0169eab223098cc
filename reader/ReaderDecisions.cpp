// Taking a decision on a group: who may, which group it is about (the one a
// group is merged into), and what it records. See ReaderParts.h.

#include "common/CommandLine.h"
#include "common/StartupError.h"
#include "reader/ReaderParts.h"
#include "store/StoreOptions.h"
#include "store/OpenStore.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <variant>

namespace triage {

namespace {

using crashreports::inQuotes;
using store::Decision;
using store::DecisionKind;

constexpr const char* kAdminGroup = "crash-reports-admin";

std::string userName()
{
    // Who ran sudo, rather than root.
    const char* sudoUser = std::getenv("SUDO_USER");
    if (::geteuid() == 0 && sudoUser != nullptr && *sudoUser != '\0') {
        return sudoUser;
    }
    const passwd* user = ::getpwuid(::geteuid());
    return user != nullptr ? user->pw_name : std::to_string(::geteuid());
}

// Root and the members of crash-reports-admin decide on a directory's
// groups; a database's roles have the rights it gives them. A line saying
// who may, or empty.
std::string mayDecide(const store::StoreName& store)
{
    if (store.isDatabase() || ::geteuid() == 0) {
        return {};
    }
    const group* admins = ::getgrnam(kAdminGroup);
    if (admins != nullptr && inGroup(admins->gr_gid)) {
        return {};
    }
    return "only root and members of group " + std::string(kAdminGroup) + " may decide on the groups of "
        + store.shown() + ": ask an administrator to add you (sudo adduser " + userName() + " " + kAdminGroup
        + "), then log in again";
}

DecisionKind kindOf(Command command)
{
    switch (command) {
    case Command::Ignore: return DecisionKind::ignore;
    case Command::Reopen: return DecisionKind::reopen;
    case Command::Merge: return DecisionKind::merge;
    case Command::Unmerge: return DecisionKind::unmerge;
    default: return DecisionKind::fix;
    }
}

struct Taking {
    store::Catalog& catalog;
    const store::DecisionBook& book;
    const ReaderOptions& options;
    store::TimePoint now;
};

Decision decisionOn(const Taking& taking, const std::string& group)
{
    const ReaderOptions& options = taking.options;
    Decision decision{kindOf(options.command), group, {}, options.fixedIn.value_or(""), std::nullopt, taking.now,
                      userName(), options.note, {}};
    if (options.span) {
        decision.until = taking.now + *options.span;
    }
    store::ReportFilter newest;
    newest.group = group;
    newest.limit = store::kDecisionReports;
    for (const auto& report : taking.catalog.reports(newest)) {
        decision.reports.push_back(report.report);
    }
    return decision;
}

// The decisions that the command takes, or a line saying why none.
std::variant<std::vector<Decision>, std::string> decisionsOf(const Taking& taking)
{
    const ReaderOptions& options = taking.options;
    const store::StoreName& store = options.store;
    const auto known = [&](const std::string& group) {
        return store::decideGroup(taking.catalog, taking.book, group, taking.now, store::kDefaultRegressedAfter)
            .has_value();
    };
    std::vector<Decision> decisions;
    for (const std::string& group : options.operands) {
        if (!known(group)) {
            return "no group " + inQuotes(group) + " in " + store.shown();
        }
        const std::string& target = taking.book.targetOf(group);
        if (options.command == Command::Unmerge) {
            if (target == group) {
                return "group " + group + " is merged into no other group";
            }
            decisions.push_back(decisionOn(taking, group));
        } else if (options.command == Command::Merge) {
            if (!known(*options.into)) {
                return "no group " + inQuotes(*options.into) + " in " + store.shown();
            }
            const std::string& into = taking.book.targetOf(*options.into);
            if (into == target) {
                return "can't merge group " + group + " into " + *options.into + ": it is " + into + "'s already";
            }
            decisions.push_back(decisionOn(taking, group));
            decisions.back().into = into;
        } else {
            decisions.push_back(decisionOn(taking, target));
        }
    }
    return decisions;
}

// "fixed 0123456789abcdef (in 1.4-1)".
std::string saidOf(const Decision& decision)
{
    static constexpr const char* kDone[] = {"fixed", "ignored", "reopened", "merged", "unmerged", "regressed"};
    std::string line = std::string(kDone[static_cast<int>(decision.kind)]) + " " + decision.group;
    if (!decision.into.empty()) {
        line += " into " + decision.into;
    }
    if (!decision.version.empty()) {
        line += " in " + decision.version;
    }
    return line + "\n";
}

}  // namespace

Outcome takeDecision(const ReaderOptions& options, store::TimePoint now)
{
    if (const std::string refusal = mayDecide(options.store); !refusal.empty()) {
        return failure(refusal);
    }
    try {
        const auto catalog = store::openCatalog(options.store);
        const store::DecisionBook book(catalog->decisions());
        auto taken = decisionsOf({*catalog, book, options, now});
        if (const auto* why = std::get_if<std::string>(&taken)) {
            return failure(*why);
        }
        Outcome outcome;
        for (const Decision& decision : std::get<std::vector<Decision>>(taken)) {
            store::recordDecision(options.store, decision);
            outcome.output += saidOf(decision);
        }
        return outcome;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        return failure(error.what());
    }
}

}  // namespace triage
