#pragma once

// Private to store/directory/.

// A thin owner of SQLite's handles: a connection and its prepared
// statements, each closed once, and failures as exceptions that carry
// SQLite's own message. Only the index uses it.

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace store::sqlite {

// A failed call; what() names what was being done and SQLite's reason.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message, int code = SQLITE_ERROR) : std::runtime_error(message), code_(code) {}
    // Whether the database is damaged: its file is no database, or a page
    // of it makes no sense.
    bool damaged() const { return (code_ & 0xff) == SQLITE_CORRUPT || (code_ & 0xff) == SQLITE_NOTADB; }

private:
    int code_;
};

class Statement;

class Database {
public:
    // Opens `path`: read-only, or read-write and created if missing. Throws
    // Error naming the path.
    Database(const std::filesystem::path& path, bool readOnly);
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database();

    // Runs SQL that returns no rows; throws Error.
    void execute(std::string_view sql);
    Statement prepare(std::string_view sql);
    // The statement for `sql`, a string literal, prepared once and kept:
    // statements run for every report are not prepared every time. Reset
    // before it is returned.
    Statement& cached(const char* sql);
    sqlite3* handle() const { return handle_.get(); }
    // SQLite's message for the last failure.
    std::string message() const;
    // Whether a lock that another connection holds is waited for (the
    // default, up to 10 s) or fails at once.
    void waitForLocks(bool wait);

private:
    struct Close {
        void operator()(sqlite3* handle) const { sqlite3_close_v2(handle); }
    };
    std::unique_ptr<sqlite3, Close> handle_;
    std::unordered_map<const char*, std::unique_ptr<Statement>> cache_;  // finalized before the close
};

// A prepared statement, reset and cleared for each use.
class Statement {
public:
    Statement(Database& database, std::string_view sql);

    // Binds the parameters in order, from 1.
    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, std::string_view text);
    Statement& bindNull(int index);
    // Steps once: whether a row came. Throws Error on failure.
    bool step();
    // Steps until the statement is done; throws Error on failure.
    void run();
    // Resets for the next use, clearing the bindings.
    void reset();

    std::int64_t integer(int column) const;
    std::string text(int column) const;
    bool isNull(int column) const;

private:
    struct Finalize {
        void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };
    Database* database_;
    std::unique_ptr<sqlite3_stmt, Finalize> statement_;
};

// A transaction that rolls back unless committed.
class Transaction {
public:
    explicit Transaction(Database& database, bool immediate = true);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();
    void commit();

private:
    Database& database_;
    bool open_ = true;
};

}  // namespace store::sqlite
