#pragma once

// Private to store/postgres/.

// A thin owner of libpq's handles: a connection, its results, a statement's
// parameters and a transaction, each let go once, and failures as
// exceptions that carry the server's own message. Every value travels in
// binary form, so that a report's bytes are sent as they are and times keep
// their microseconds. Only the PostgreSQL store, its catalog and its
// reindex use it.

#include "store/StoreName.h"

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace store::pg {

using TimePoint = std::chrono::system_clock::time_point;

// A failed call: what() is the server's (or libpq's) reason, in one line;
// a connection's failure also names the server.
// The SQLSTATE of a database whose encoding can't hold every report's text.
inline constexpr const char* kWrongEncoding = "22021";

class Error : public std::runtime_error {
public:
    Error(const std::string& what, std::string sqlState, bool connectionLost)
        : std::runtime_error(what), sqlState_(std::move(sqlState)), connectionLost_(connectionLost)
    {
    }
    // The SQLSTATE code ("40P01"), empty where the server gave none.
    const std::string& sqlState() const { return sqlState_; }
    // The connection is gone: nothing more can be done on it.
    bool connectionLost() const { return connectionLost_; }
    // Whether the same transaction may simply be run again at once: it lost
    // a deadlock or a serialization conflict with another session.
    bool transactionRetryable() const { return sqlState_ == "40P01" || sqlState_ == "40001"; }
    // Whether the failure is the data's own (a value the server refuses),
    // which no retry mends; anything else (a server shutting down, a disk
    // full, a standby that takes no writes, a permission taken away) is the
    // database's state, which may change.
    bool dataError() const;

private:
    std::string sqlState_;
    bool connectionLost_ = false;
};

// The types of parameters, by their fixed OIDs in pg_type.
enum class Type : Oid { Bytea = 17, Int8 = 20, Text = 25, TextArray = 1009, TimestampTz = 1184 };

// A statement's parameters, $1 first. A report's bytes are borrowed, not
// copied: they must outlive the statement.
class Params {
public:
    Params& text(std::string_view value);
    Params& integer(std::int64_t value);
    Params& time(TimePoint value);
    Params& bytes(std::span<const unsigned char> value);
    // An array of texts, for "= ANY($n)".
    Params& texts(std::span<const std::string> values);
    Params& null(Type type);

    int count() const { return static_cast<int>(params_.size()); }
    std::vector<Oid> types() const;
    std::vector<const char*> values() const;
    std::vector<int> lengths() const;
    std::vector<int> formats() const;

private:
    struct Param {
        Type type;
        std::string owned;
        const char* borrowed = nullptr;  // instead of `owned`, when set
        int length = 0;
        bool null = false;
    };
    Params& add(Type type, std::string value);
    std::vector<Param> params_;
};

// A statement's rows, in binary form. Reading a column as a type it does
// not hold throws Error.
class Result {
public:
    explicit Result(PGresult* result) : result_(result) {}
    int rows() const { return PQntuples(result_.get()); }
    bool isNull(int row, int column) const;
    std::string text(int row, int column) const;
    std::int64_t integer(int row, int column) const;  // bigint or integer
    TimePoint time(int row, int column) const;
    std::vector<unsigned char> bytes(int row, int column) const;
    // How many rows an INSERT, UPDATE or DELETE touched.
    std::uint64_t affected() const;
    PGresult* handle() const { return result_.get(); }

private:
    std::span<const unsigned char> raw(int row, int column, Type type) const;
    struct Clear {
        void operator()(PGresult* result) const { PQclear(result); }
    };
    std::unique_ptr<PGresult, Clear> result_;
};

// Who connects: named in pg_stat_activity, and the defaults a URI may
// override (a bounded wait for the server, keepalives that find a dead one).
struct ConnectOptions {
    std::string applicationName;
};

class Connection {
public:
    // Connects to the server that the libpq URI `uri` names, talking UTF-8.
    // Throws Error naming `shownAs` (the URI without its password) and why.
    Connection(const std::string& uri, const std::string& shownAs, const ConnectOptions& options);

    // Runs one statement; its rows. Throws Error with the server's message.
    Result execute(std::string_view sql, const Params& params = {});
    // Runs statements that take no parameters, in text form; the last one's
    // result.
    Result run(std::string_view sql);
    bool ok() const { return PQstatus(handle_.get()) == CONNECTION_OK; }
    PGconn* handle() const { return handle_.get(); }

private:
    [[noreturn]] void fail(const PGresult* result) const;
    struct Finish {
        void operator()(PGconn* connection) const { PQfinish(connection); }
    };
    std::unique_ptr<PGconn, Finish> handle_;
};

// A transaction that rolls back unless committed.
class Transaction {
public:
    explicit Transaction(Connection& connection);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();
    void commit();

private:
    Connection& connection_;
    bool open_ = true;
};

// Checks that libpq reads the URI `store` names; an error naming it as
// shown, or empty.
std::string checkUri(const StoreName& store);

}  // namespace store::pg
