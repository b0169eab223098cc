#include "store/postgres/PostgresSchema.h"

#include <array>

namespace store::pg {

namespace {

// What each version adds, from version 1 on: an upgrade runs the steps past
// the version found. The tables mirror a directory store's index: reports
// with their bytes, and groups and their senders kept up to date as reports
// come and go, so that listing the groups never reads every report. Ids and
// group ids compare byte by byte ("C"), as the index's do, so that every
// ordering is the same in both kinds of store. `seq` keeps the order rows
// were added in, which decides between reports received at the same moment
// which is the oldest.
constexpr const char* kVersion1 = R"(
CREATE TABLE reports (
    id text COLLATE "C" PRIMARY KEY,
    seq bigint GENERATED ALWAYS AS IDENTITY,
    received timestamptz NOT NULL,
    sender text NOT NULL,
    address text COLLATE "C" NOT NULL,
    bytes bigint NOT NULL,
    grp text COLLATE "C" NOT NULL,
    title text NOT NULL,
    signature text NOT NULL,
    version integer NOT NULL,
    host text NOT NULL,
    unit text NOT NULL,
    executable text NOT NULL,
    signal text NOT NULL,
    report bytea NOT NULL
);
CREATE INDEX reports_by_group ON reports (grp, received, seq);
CREATE INDEX reports_by_time ON reports (received, id);
CREATE TABLE groups (
    grp text COLLATE "C" PRIMARY KEY,
    title text NOT NULL,
    signature text NOT NULL,
    count bigint NOT NULL,
    bytes bigint NOT NULL,
    hosts bigint NOT NULL,
    first_seen timestamptz NOT NULL,
    last_seen timestamptz NOT NULL,
    newest text COLLATE "C" NOT NULL
);
CREATE INDEX groups_by_activity ON groups (last_seen, grp);
CREATE TABLE group_senders (
    grp text COLLATE "C" NOT NULL,
    address text COLLATE "C" NOT NULL,
    count bigint NOT NULL,
    PRIMARY KEY (grp, address)
);
)";

// Senders' aggregates, for the budget; a group with no report left goes.
constexpr const char* kVersion2 = R"(
CREATE TABLE senders (
    address text COLLATE "C" PRIMARY KEY,
    count bigint NOT NULL,
    bytes bigint NOT NULL
);
INSERT INTO senders SELECT address, count(*), sum(bytes)::bigint FROM reports GROUP BY address;
CREATE INDEX reports_by_sender ON reports (address, received, seq);
DELETE FROM groups WHERE count <= 0;
)";

// What each report says its version is, each group's first and last
// versions (those of its first and last reports that named one, as they
// came), and the decisions people took on groups, in the order they were
// taken: the one table that can't be made again from the reports.
constexpr const char* kVersion3 = R"(
ALTER TABLE reports ADD COLUMN app_version text NOT NULL DEFAULT '';
ALTER TABLE groups ADD COLUMN first_version text NOT NULL DEFAULT '',
                   ADD COLUMN last_version text NOT NULL DEFAULT '';
CREATE TABLE decisions (
    seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    decision text NOT NULL,
    grp text COLLATE "C" NOT NULL,
    into_grp text COLLATE "C" NOT NULL DEFAULT '',
    version text NOT NULL DEFAULT '',
    until timestamptz,
    at timestamptz NOT NULL,
    by text NOT NULL,
    note text NOT NULL DEFAULT '',
    reports text[] NOT NULL DEFAULT '{}'
);
DO $$
DECLARE reader record;
BEGIN
    -- Whoever reads the groups reads the decisions on them, as before the upgrade.
    FOR reader IN SELECT DISTINCT grantee FROM information_schema.role_table_grants
                  WHERE table_schema = current_schema() AND table_name = 'groups' AND privilege_type = 'SELECT'
                        AND grantee <> current_user LOOP
        EXECUTE 'GRANT SELECT ON decisions TO '
            || CASE WHEN reader.grantee = 'PUBLIC' THEN 'PUBLIC' ELSE quote_ident(reader.grantee) END;
    END LOOP;
END $$;
)";

constexpr std::array<const char*, kSchemaVersion> kSteps{kVersion1, kVersion2, kVersion3};

std::string lockCall(int object)
{
    return "SELECT pg_advisory_xact_lock(" + std::to_string(kLockClass) + ", " + std::to_string(object) + ")";
}

}  // namespace

std::optional<int> schemaVersion(Connection& connection)
{
    const Result table = connection.execute("SELECT to_regclass('schema_version')::text");
    if (table.isNull(0, 0)) {
        return std::nullopt;
    }
    const Result version = connection.execute("SELECT coalesce(max(version), 0) FROM schema_version");
    return static_cast<int>(version.integer(0, 0));
}

void prepareSchema(Connection& connection)
{
    if (schemaVersion(connection) == kSchemaVersion) {
        return;
    }
    Transaction transaction(connection);
    connection.execute(lockCall(kSchemaLock));
    connection.run("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)");
    // Read again under the lock: another collector may have been first.
    const int found = schemaVersion(connection).value_or(0);
    if (found > kSchemaVersion) {
        throw Error("the tables are of version " + std::to_string(found) + ", newer than this program's "
                        + std::to_string(kSchemaVersion) + ": upgrade it",
                    {}, false);
    }
    for (int step = found; step < kSchemaVersion; ++step) {
        connection.run(kSteps[static_cast<std::size_t>(step)]);
    }
    if (found != kSchemaVersion) {
        connection.run("DELETE FROM schema_version; INSERT INTO schema_version VALUES ("
                       + std::to_string(kSchemaVersion) + ")");
    }
    transaction.commit();
}

}  // namespace store::pg
