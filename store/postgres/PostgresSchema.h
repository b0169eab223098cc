#pragma once

// Private to store/postgres/.

// The tables of a PostgreSQL store (docs/postgresql-schema.md tells what
// each holds) and their version. Collectors make them, or bring them up to
// this program's version, when they connect; readers only check them.

#include "store/postgres/Postgres.h"

#include <optional>

namespace store::pg {

inline constexpr int kSchemaVersion = 3;

// Advisory locks, as (class, object) pairs: the schema's, taken while it is
// made or upgraded, and the budget's, taken by each commit that keeps
// within --max-use, so that two collectors can't both find room for the
// same bytes. The class is "CRSH".
inline constexpr int kLockClass = 0x43525348;
inline constexpr int kSchemaLock = 1;
inline constexpr int kBudgetLock = 2;

// Makes the tables, or upgrades them to kSchemaVersion, in one transaction
// under the schema's lock, so that collectors that start together make
// them once. Throws Error, also when the tables are of a newer version than
// this program knows.
void prepareSchema(Connection& connection);

// The version of the store's tables; nothing if there are none. Throws Error.
std::optional<int> schemaVersion(Connection& connection);

}  // namespace store::pg
