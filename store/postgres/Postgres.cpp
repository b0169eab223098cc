#include "store/postgres/Postgres.h"

#include "common/TimeText.h"

#include <algorithm>
#include <array>

namespace store::pg {

namespace {

// Types that results are read as, by their OIDs in pg_type.
constexpr Oid kInt4 = 23;
constexpr Oid kName = 19;
constexpr Oid kVarchar = 1043;

// Timestamps count microseconds from 2000-01-01 00:00 UTC on the wire.
constexpr std::int64_t kEpochOffsetMicroseconds = 946684800LL * 1000000;

// Defaults that a URI may override: a server that does not answer is given
// up on in seconds, not minutes, and keepalives find one that went away
// while a statement waited.
constexpr std::array kDefaultKeywords{"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count"};
constexpr std::array kDefaultValues{"10", "30", "10", "3"};

std::string bigEndian(std::uint64_t value, int bytes)
{
    std::string encoded(static_cast<std::size_t>(bytes), '\0');
    for (int index = bytes - 1; index >= 0; --index) {
        encoded[static_cast<std::size_t>(index)] = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
    return encoded;
}

std::uint64_t fromBigEndian(std::span<const unsigned char> bytes)
{
    std::uint64_t value = 0;
    for (const unsigned char byte : bytes) {
        value = value << 8 | byte;
    }
    return value;
}

// libpq's messages may take several lines (a hint, one line per host
// tried): one line of them, the lines joined with "; ".
std::string oneLine(std::string_view text)
{
    std::string line;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view part = text.substr(start, end - start);
        start = end + 1;
        const std::size_t first = part.find_first_not_of(" \t");
        if (first == std::string_view::npos) {
            continue;
        }
        part = part.substr(first, part.find_last_not_of(" \t") - first + 1);
        line += line.empty() ? "" : "; ";
        line += part;
    }
    return line;
}

void ignoreNotice(void*, const char*) {}

}  // namespace

bool Error::dataError() const
{
    // Data exceptions, integrity constraints and program limits.
    return sqlState_.starts_with("22") || sqlState_.starts_with("23") || sqlState_.starts_with("54");
}

Params& Params::add(Type type, std::string value)
{
    Param param{type, std::move(value)};
    param.length = static_cast<int>(param.owned.size());
    params_.push_back(std::move(param));
    return *this;
}

Params& Params::text(std::string_view value)
{
    return add(Type::Text, std::string(value));
}

Params& Params::integer(std::int64_t value)
{
    return add(Type::Int8, bigEndian(static_cast<std::uint64_t>(value), 8));
}

Params& Params::time(TimePoint value)
{
    return add(Type::TimestampTz,
               bigEndian(static_cast<std::uint64_t>(crashreports::toMicroseconds(value) - kEpochOffsetMicroseconds), 8));
}

Params& Params::bytes(std::span<const unsigned char> value)
{
    Param param{Type::Bytea, {}};
    param.borrowed = reinterpret_cast<const char*>(value.data());
    param.length = static_cast<int>(value.size());
    params_.push_back(std::move(param));
    return *this;
}

Params& Params::texts(std::span<const std::string> values)
{
    // One dimension, no NULLs, elements of type text, from index 1.
    std::string array = bigEndian(values.empty() ? 0 : 1, 4) + bigEndian(0, 4) + bigEndian(std::uint64_t{25}, 4);
    if (!values.empty()) {
        array += bigEndian(values.size(), 4) + bigEndian(1, 4);
    }
    for (const auto& value : values) {
        array += bigEndian(value.size(), 4);
        array += value;
    }
    return add(Type::TextArray, std::move(array));
}

Params& Params::null(Type type)
{
    Param param{type, {}};
    param.null = true;
    params_.push_back(std::move(param));
    return *this;
}

std::vector<Oid> Params::types() const
{
    std::vector<Oid> types;
    for (const auto& param : params_) {
        types.push_back(static_cast<Oid>(param.type));
    }
    return types;
}

std::vector<const char*> Params::values() const
{
    std::vector<const char*> values;
    for (const auto& param : params_) {
        values.push_back(param.null ? nullptr : param.borrowed != nullptr ? param.borrowed : param.owned.data());
    }
    return values;
}

std::vector<int> Params::lengths() const
{
    std::vector<int> lengths;
    for (const auto& param : params_) {
        lengths.push_back(param.length);
    }
    return lengths;
}

std::vector<int> Params::formats() const
{
    return std::vector<int>(params_.size(), 1);
}

bool Result::isNull(int row, int column) const
{
    return PQgetisnull(result_.get(), row, column) != 0;
}

std::span<const unsigned char> Result::raw(int row, int column, Type type) const
{
    const Oid found = PQftype(result_.get(), column);
    const bool fits = found == static_cast<Oid>(type) || (type == Type::Int8 && found == kInt4)
        || (type == Type::Text && (found == kName || found == kVarchar));
    if (!fits) {
        throw Error("column " + std::to_string(column) + " is of type " + std::to_string(found) + ", not "
                        + std::to_string(static_cast<Oid>(type)),
                    {}, false);
    }
    const auto* value = reinterpret_cast<const unsigned char*>(PQgetvalue(result_.get(), row, column));
    return {value, static_cast<std::size_t>(PQgetlength(result_.get(), row, column))};
}

std::string Result::text(int row, int column) const
{
    const auto value = raw(row, column, Type::Text);
    return {value.begin(), value.end()};
}

std::int64_t Result::integer(int row, int column) const
{
    const auto value = raw(row, column, Type::Int8);
    const std::uint64_t bits = fromBigEndian(value);
    return value.size() == 4 ? static_cast<std::int32_t>(bits) : static_cast<std::int64_t>(bits);
}

TimePoint Result::time(int row, int column) const
{
    const auto micro = static_cast<std::int64_t>(fromBigEndian(raw(row, column, Type::TimestampTz)));
    return crashreports::fromMicroseconds(micro + kEpochOffsetMicroseconds);
}

std::vector<unsigned char> Result::bytes(int row, int column) const
{
    const auto value = raw(row, column, Type::Bytea);
    return {value.begin(), value.end()};
}

std::uint64_t Result::affected() const
{
    const std::string_view tuples = PQcmdTuples(result_.get());
    return tuples.empty() ? 0 : std::stoull(std::string(tuples));
}

Connection::Connection(const std::string& uri, const std::string& shownAs, const ConnectOptions& options)
{
    // The URI comes after the defaults, so that its own settings win; the
    // encoding comes last, as every text is read and written as UTF-8.
    std::vector<const char*> keywords(kDefaultKeywords.begin(), kDefaultKeywords.end());
    std::vector<const char*> values(kDefaultValues.begin(), kDefaultValues.end());
    keywords.insert(keywords.end(), {"application_name", "dbname", "client_encoding", nullptr});
    values.insert(values.end(), {options.applicationName.c_str(), uri.c_str(), "UTF8", nullptr});
    handle_.reset(PQconnectdbParams(keywords.data(), values.data(), 1));
    if (!handle_) {
        throw Error("can't connect to " + shownAs + ": out of memory", {}, true);
    }
    if (!ok()) {
        throw Error("can't connect to " + shownAs + ": " + oneLine(PQerrorMessage(handle_.get())), {}, true);
    }
    // The server's notices ("already exists, skipping") are no one's business.
    PQsetNoticeProcessor(handle_.get(), ignoreNotice, nullptr);
    // Reports' titles and facts are any text: a database of another
    // encoding would refuse some of them, report by report.
    const char* encoding = PQparameterStatus(handle_.get(), "server_encoding");
    if (encoding != nullptr && std::string_view(encoding) != "UTF8") {
        throw Error("the database of " + shownAs + " is in encoding " + encoding
                        + ", which can't hold every report's text: make it with ENCODING 'UTF8'",
                    kWrongEncoding, false);
    }
}

void Connection::fail(const PGresult* result) const
{
    const char* primary = result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    std::string reason = oneLine(primary != nullptr ? primary : PQerrorMessage(handle_.get()));
    if (reason.empty()) {
        reason = "no answer from the server";
    }
    throw Error(reason, state != nullptr ? state : "", !ok());
}

Result Connection::execute(std::string_view sql, const Params& params)
{
    const std::string text(sql);
    const auto types = params.types();
    const auto values = params.values();
    const auto lengths = params.lengths();
    const auto formats = params.formats();
    Result result(PQexecParams(handle_.get(), text.c_str(), params.count(), types.data(), values.data(),
                               lengths.data(), formats.data(), 1));
    const PGresult* raw = result.handle();
    const ExecStatusType status = raw == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(raw);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        fail(raw);
    }
    return result;
}

Result Connection::run(std::string_view sql)
{
    const std::string text(sql);
    Result result(PQexec(handle_.get(), text.c_str()));
    const PGresult* raw = result.handle();
    const ExecStatusType status = raw == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(raw);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        fail(raw);
    }
    return result;
}

Transaction::Transaction(Connection& connection) : connection_(connection)
{
    connection_.run("BEGIN");
}

Transaction::~Transaction()
{
    if (open_ && connection_.ok()) {
        PQclear(PQexec(connection_.handle(), "ROLLBACK"));
    }
}

void Transaction::commit()
{
    open_ = false;
    const Result result = connection_.run("COMMIT");
    // A transaction that failed earlier ends in ROLLBACK, without an error.
    if (std::string_view(PQcmdStatus(result.handle())) != "COMMIT") {
        throw Error("COMMIT: the transaction was rolled back", "40000", false);
    }
}

std::string checkUri(const StoreName& store)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(store.text().c_str(), &error);
    if (options != nullptr) {
        PQconninfoFree(options);
        return {};
    }
    std::string reason = error != nullptr ? oneLine(error) : "out of memory";
    PQfreemem(error);
    // libpq quotes the token it could not read, which may be a password:
    // what the URI shown leaves out is left out here too.
    for (std::size_t open = reason.find('"'); open != std::string::npos; open = reason.find('"', open + 1)) {
        const std::size_t close = reason.find('"', open + 1);
        if (close == std::string::npos) {
            break;
        }
        if (store.shown().find(reason.substr(open + 1, close - open - 1)) == std::string::npos) {
            reason.replace(open + 1, close - open - 1, "***");
        }
        open = reason.find('"', open + 1);
    }
    return "invalid database URI " + store.shown() + ": " + reason;
}

}  // namespace store::pg
