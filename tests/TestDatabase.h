#pragma once

// A database of a test's own on the throw-away server that pg_virtualenv
// starts for the run (it sets PGHOST, PGPORT, PGUSER, PGPASSWORD and
// PGVERSION).

#include "store/postgres/Postgres.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

namespace collector_tests {

inline std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A database of the test's own, made afresh; its URI carries the password,
// which no line may show.
class TestDatabase {
public:
    explicit TestDatabase(const std::string& name, const std::string& encoding = "UTF8")
        : uri_("postgresql://" + environment("PGUSER") + ":" + environment("PGPASSWORD") + "@"
               + environment("PGHOST") + ":" + environment("PGPORT") + "/" + name)
    {
        store::pg::Connection server(uri_.substr(0, uri_.rfind('/')) + "/postgres", "the server", {"postgres_test"});
        server.run("DROP DATABASE IF EXISTS " + name);
        server.run("CREATE DATABASE " + name + " TEMPLATE template0 ENCODING '" + encoding
                   + "' LC_COLLATE 'C' LC_CTYPE 'C'");
    }
    const std::string& uri() const { return uri_; }
    std::int64_t number(const std::string& sql) const { return connect().execute(sql).integer(0, 0); }
    void run(const std::string& sql) const { connect().run(sql); }
    // The URI for another role.
    std::string uriAs(const std::string& role) const
    {
        return "postgresql://" + role + ":secret@" + environment("PGHOST") + ":" + environment("PGPORT")
            + uri_.substr(uri_.rfind('/'));
    }
    std::set<std::string> ids() const
    {
        const store::pg::Result rows = connect().execute("SELECT id FROM reports");
        std::set<std::string> ids;
        for (int row = 0; row < rows.rows(); ++row) {
            ids.insert(rows.text(row, 0));
        }
        return ids;
    }

private:
    // A connection of its own each time: the server may have restarted.
    store::pg::Connection connect() const { return {uri_, "the test database", {"postgres_test"}}; }
    std::string uri_;
};

}  // namespace collector_tests
