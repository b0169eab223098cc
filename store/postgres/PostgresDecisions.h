#pragma once

// Private to store/postgres/.

// The decisions of a PostgreSQL store: its table `decisions`, in the order
// they were taken (seq), which reindex leaves as it is.

#include "store/Decisions.h"
#include "store/postgres/Postgres.h"

#include <cstdint>
#include <vector>

namespace store::pg {

// Every decision, in order, with the groups of the reports they name.
// Throws Error.
DecisionRecord readDecisions(Connection& connection);
// Adds one. Throws Error.
void insertDecision(Connection& connection, const Decision& decision);
// What changes when a decision is added: the newest decision's number.
// Throws Error.
std::int64_t decisionsStamp(Connection& connection);

}  // namespace store::pg
