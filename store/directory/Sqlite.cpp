#include "store/directory/Sqlite.h"

namespace store::sqlite {

namespace {

// How long a writer waits for another's lock on the index (collectors that
// share a directory share its index) before it gives up.
constexpr int kBusyMilliseconds = 10000;

}  // namespace

Database::Database(const std::filesystem::path& path, bool readOnly)
{
    sqlite3* opened = nullptr;
    const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
        | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    const int result = sqlite3_open_v2(path.c_str(), &opened, flags, nullptr);
    handle_.reset(opened);
    if (result != SQLITE_OK) {
        throw Error("can't open " + path.string() + ": "
                        + (opened != nullptr ? sqlite3_errmsg(opened) : sqlite3_errstr(result)),
                    opened != nullptr ? sqlite3_extended_errcode(opened) : result);
    }
    sqlite3_busy_timeout(opened, kBusyMilliseconds);
    sqlite3_extended_result_codes(opened, 1);
}

Database::~Database() = default;

Statement& Database::cached(const char* sql)
{
    auto& statement = cache_[sql];
    if (!statement) {
        statement = std::make_unique<Statement>(*this, sql);
    }
    statement->reset();
    return *statement;
}

void Database::execute(std::string_view sql)
{
    const std::string text(sql);
    char* failure = nullptr;
    if (sqlite3_exec(handle(), text.c_str(), nullptr, nullptr, &failure) != SQLITE_OK) {
        const std::string reason = failure != nullptr ? failure : message();
        sqlite3_free(failure);
        throw Error(reason, sqlite3_extended_errcode(handle()));
    }
}

Statement Database::prepare(std::string_view sql)
{
    return Statement(*this, sql);
}

void Database::waitForLocks(bool wait)
{
    sqlite3_busy_timeout(handle_.get(), wait ? kBusyMilliseconds : 0);
}

std::string Database::message() const
{
    return sqlite3_errmsg(handle());
}

Statement::Statement(Database& database, std::string_view sql) : database_(&database)
{
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v3(database.handle(), sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                           &prepared, nullptr)
        != SQLITE_OK) {
        throw Error(database.message(), sqlite3_extended_errcode(database.handle()));
    }
    statement_.reset(prepared);
}

Statement& Statement::bind(int index, std::int64_t value)
{
    sqlite3_bind_int64(statement_.get(), index, value);
    return *this;
}

Statement& Statement::bind(int index, std::string_view text)
{
    sqlite3_bind_text(statement_.get(), index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bindNull(int index)
{
    sqlite3_bind_null(statement_.get(), index);
    return *this;
}

bool Statement::step()
{
    const int result = sqlite3_step(statement_.get());
    if (result == SQLITE_ROW) {
        return true;
    }
    if (result == SQLITE_DONE) {
        return false;
    }
    const std::string reason = database_->message();
    const int code = sqlite3_extended_errcode(database_->handle());
    reset();
    throw Error(reason, code);
}

void Statement::run()
{
    while (step()) {
    }
    reset();
}

void Statement::reset()
{
    sqlite3_reset(statement_.get());
    sqlite3_clear_bindings(statement_.get());
}

std::int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(statement_.get(), column);
}

std::string Statement::text(int column) const
{
    const auto* bytes = sqlite3_column_text(statement_.get(), column);
    return bytes == nullptr ? std::string()
                            : std::string(reinterpret_cast<const char*>(bytes),
                                          static_cast<std::size_t>(sqlite3_column_bytes(statement_.get(), column)));
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(statement_.get(), column) == SQLITE_NULL;
}

Transaction::Transaction(Database& database, bool immediate) : database_(database)
{
    database_.execute(immediate ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction()
{
    if (open_) {
        sqlite3_exec(database_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Transaction::commit()
{
    database_.execute("COMMIT");
    open_ = false;
}

}  // namespace store::sqlite
