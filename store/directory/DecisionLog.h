#pragma once

// The decisions of a directory store: ".decisions" beside the reports, one
// JSON object a line, in the order they were taken. It is no derived data,
// so it is apart from the index, which reindex makes anew: appended to
// under an exclusive lock and synced before the decision is told as taken.
// Its group is crash-reports-admin where that group exists, mode 0664: the
// administrators write it without writing the directory, and whoever may
// enter the directory (the store's group) reads it.

#include "store/Decisions.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace store {

inline constexpr const char* kDecisionsFileName = ".decisions";

class DecisionLog {
public:
    explicit DecisionLog(std::filesystem::path directory);

    // Makes the file where it is missing. Throws std::runtime_error with a
    // line naming it if it can't be made.
    void create() const;
    // Every decision, in order; none if there is no file. A line that is
    // not a decision (cut short by a crash) is passed over. Throws
    // std::runtime_error with a line naming the file if it can't be read.
    std::vector<Decision> read() const;
    // Appends one and syncs it. Throws std::runtime_error with a line
    // naming the file and why.
    void append(const Decision& decision) const;
    // What changes when the file does: its identity, size and time; nothing
    // while there is no file.
    std::optional<std::string> stamp() const;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// One line of the log, and back; nothing for a line that is no decision.
std::string decisionLine(const Decision& decision);
std::optional<Decision> decisionFromLine(std::string_view line);

}  // namespace store
