// Data-access support library over the SQLite C API.
//
// Connections live in a table of handles (>= 1, never reused, so a stale
// handle cannot reach a later connection). Every call looks its connection up
// under the table's lock, then works under the connection's own lock, so two
// threads may share a handle and DisconnectDB may race with a running call.
// Record sets are copies of the result rows: the statement is finalised
// before QueryRecords returns, and a record set outlives its connection.
#include "qbDaHeader.h"

#include <sqlite3.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#define QB_EXPORT __attribute__((visibility("default")))

struct QbRecordSet {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    // Per row, one flag per column: the stored value was NULL.
    std::vector<std::vector<bool>> nulls;
    size_t current = 0;
};

namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr int kConnectBusyMs = 250;
// Bounds of every statement: a recursive view or an endless trigger ends
// with an error instead of holding the caller (and the disk) for ever.
constexpr int kStatementTimeLimitMs = 10000;
constexpr int kProgressSteps = 1000; // virtual machine steps between checks
constexpr int kMaxValueLength = 64 * 1024 * 1024;
constexpr int kMaxSqlLength = 1024 * 1024;
// Temporary data stays in memory, and SQLite's memory as a whole is capped,
// so a runaway query fails for lack of memory rather than filling the disk.
constexpr sqlite3_int64 kHeapLimit = 512LL * 1024 * 1024;

// Set once the process is ending (a termination signal): every statement
// in progress and every wait for a lock ends at once. Lock-free, so the
// signal handler may set it.
std::atomic<bool> g_abort {false};
static_assert(std::atomic<bool>::is_always_lock_free);

using Clock = std::chrono::steady_clock;

struct StatementCloser {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

struct Connection {
    std::mutex lock;
    sqlite3* db = nullptr; // nullptr once disconnected
    std::string lastError;
    // When the running statement has to end (set under lock before each
    // statement; read by the progress handler on the same thread).
    Clock::time_point deadline = Clock::time_point::max();
    bool timedOut = false;
    // How long a statement waits for another program's lock.
    int busyLimitMs = kBusyTimeoutMs;

    ~Connection() { close(); }
    void close()
    {
        if (db) {
            // Statements never outlive a call, so nothing keeps the file open.
            sqlite3_close_v2(db);
            db = nullptr;
        }
    }
    bool fail(const std::string& what)
    {
        lastError = what;
        return false;
    }
    bool failSqlite(const char* what)
    {
        if (timedOut)
            lastError = std::string(what) + ": the statement ran longer than " +
                        std::to_string(kStatementTimeLimitMs / 1000) + " s and was ended";
        else if (g_abort.load())
            lastError = std::string(what) + ": ended because the program is ending";
        else
            lastError = std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "not connected");
        return false;
    }
    void startStatement()
    {
        deadline = Clock::now() + std::chrono::milliseconds(kStatementTimeLimitMs);
        timedOut = false;
    }
};

int onProgress(void* context)
{
    auto* conn = static_cast<Connection*>(context);
    if (g_abort.load(std::memory_order_relaxed))
        return 1;
    if (Clock::now() >= conn->deadline) {
        conn->timedOut = true;
        return 1;
    }
    return 0;
}

// Waits for another program's lock in short steps, so that the end of the
// process is never held up by it.
int onBusy(void* context, int count)
{
    constexpr int kStepMs = 20;
    if (g_abort.load() || count * kStepMs >= static_cast<Connection*>(context)->busyLimitMs)
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
    return g_abort.load() ? 0 : 1;
}

void limitConnection(Connection& conn)
{
    sqlite3_limit(conn.db, SQLITE_LIMIT_LENGTH, kMaxValueLength);
    sqlite3_limit(conn.db, SQLITE_LIMIT_SQL_LENGTH, kMaxSqlLength);
    sqlite3_progress_handler(conn.db, kProgressSteps, &onProgress, &conn);
    sqlite3_busy_handler(conn.db, &onBusy, &conn);
}

std::mutex g_tableLock;
std::map<int, std::shared_ptr<Connection>> g_connections;
int g_nextHandle = 1;

std::shared_ptr<Connection> find(int handle)
{
    std::lock_guard<std::mutex> guard(g_tableLock);
    auto it = g_connections.find(handle);
    return it == g_connections.end() ? nullptr : it->second;
}

// Letters, digits and underscore, not starting with a digit: the only table
// and column names that are put into SQL text.
bool isIdentifier(const char* name)
{
    if (!name || !*name)
        return false;
    for (const char* p = name; *p; ++p) {
        const char c = *p;
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !(digit && p != name))
            return false;
    }
    return true;
}

bool blankOrSemicolons(const char* text)
{
    for (const char* p = text; p && *p; ++p) {
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p != ';')
            return false;
    }
    return true;
}

// Only blanks and semicolons may follow the prepared statement: a second
// statement smuggled into a condition or a query is refused, not ignored.
bool onlyOneStatement(const char* tail) { return blankOrSemicolons(tail); }

// Prepares sql on conn; on failure records the reason and returns nullptr.
Statement prepare(Connection& conn, const std::string& sql)
{
    conn.startStatement();
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(conn.db, sql.c_str(), static_cast<int>(sql.size() + 1), &raw, &tail);
    Statement stmt(raw);
    if (rc != SQLITE_OK) {
        conn.failSqlite("prepare");
        return nullptr;
    }
    if (!stmt) {
        conn.fail("empty statement");
        return nullptr;
    }
    if (!onlyOneStatement(tail)) {
        conn.fail("more than one statement");
        return nullptr;
    }
    return stmt;
}

// Steps a statement to its end, discarding rows; false on failure.
bool runToEnd(Connection& conn, sqlite3_stmt* stmt)
{
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE)
            return true;
        if (rc != SQLITE_ROW)
            return conn.failSqlite("step");
    }
}

bool runSimple(Connection& conn, const char* sql)
{
    Statement stmt = prepare(conn, sql);
    return stmt && runToEnd(conn, stmt.get());
}

bool sameName(std::string_view a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return i == a.size() && b[i] == '\0';
}

// Column of field in the current row; npos past the end or when unknown.
constexpr size_t kNoField = static_cast<size_t>(-1);
size_t fieldIndex(const QbRecordSet* rs, const char* field)
{
    if (!rs || !field || rs->current >= rs->rows.size())
        return kNoField;
    for (size_t i = 0; i < rs->columns.size(); ++i) {
        if (sameName(rs->columns[i], field))
            return i;
    }
    return kNoField;
}

// Value of field in the current row; nullptr past the end or when unknown.
const std::string* fieldValue(const QbRecordSet* rs, const char* field)
{
    const size_t i = fieldIndex(rs, field);
    return i == kNoField ? nullptr : &rs->rows[rs->current][i];
}

// A decimal text that is a whole number within int: "13", "+13", "13.0",
// "1.3e1" (as SQLite shows REAL values and as the sqlite3 tool stores
// text). Anything with a fraction, blanks, or no number at all is nullopt.
std::optional<int> wholeNumber(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::string_view digits = text;
    if (digits.front() == '+' && digits.size() > 1 && digits[1] != '-')
        digits.remove_prefix(1);
    int result = 0;
    const auto [stop, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), result, 10);
    if (ec == std::errc() && stop == digits.data() + digits.size())
        return result;
    // Only digits, sign, point and exponent: the library's parser may
    // skip blanks that a stored number never has.
    if (text.find_first_not_of("0123456789+-.eE") != std::string_view::npos)
        return std::nullopt;
    double value = 0;
    const auto [dstop, dec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (dec != std::errc() || dstop != digits.data() + digits.size() || !std::isfinite(value) ||
        value != std::trunc(value) || value < -2147483648.0 || value > 2147483647.0)
        return std::nullopt;
    return static_cast<int>(value);
}

// Runs fn(conn) for a live connection under its lock; fallback otherwise.
template <typename R, typename Fn> R withConnection(int handle, R fallback, Fn&& fn)
{
    try {
        std::shared_ptr<Connection> conn = find(handle);
        if (!conn)
            return fallback;
        std::lock_guard<std::mutex> guard(conn->lock);
        if (!conn->db)
            return fallback;
        conn->lastError.clear();
        return fn(*conn);
    } catch (...) {
        return fallback;
    }
}

} // namespace

extern "C" {

QB_EXPORT int ConnectDB(const char* path, const char* /*user*/, const char* /*password*/, bool /*flag*/,
                        void* /*appWindow*/)
{
    if (!path || !*path || g_abort.load())
        return 0;
    static const bool heapLimited = [] {
        sqlite3_hard_heap_limit64(kHeapLimit);
        return true;
    }();
    (void)heapLimited;
    try {
        auto conn = std::make_shared<Connection>();
        const int rc = sqlite3_open_v2(path, &conn->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK)
            return 0; // the destructor closes the half-opened handle
        sqlite3_extended_result_codes(conn->db, 1);
        limitConnection(*conn);
        if (!runSimple(*conn, "PRAGMA temp_store = MEMORY"))
            return 0;
        // Opening is lazy: read the schema now so that a file that is not a
        // database is refused here rather than at the first query. A file
        // held locked by another program is refused quickly: the caller
        // decides whether and when to try again.
        conn->busyLimitMs = kConnectBusyMs;
        if (!runSimple(*conn, "SELECT count(*) FROM sqlite_master"))
            return 0;
        conn->busyLimitMs = kBusyTimeoutMs;
        std::lock_guard<std::mutex> guard(g_tableLock);
        const int handle = g_nextHandle++;
        g_connections.emplace(handle, std::move(conn));
        return handle;
    } catch (...) {
        return 0;
    }
}

QB_EXPORT void DisconnectDB(int conn, bool /*flag*/)
{
    std::shared_ptr<Connection> c;
    {
        std::lock_guard<std::mutex> guard(g_tableLock);
        auto it = g_connections.find(conn);
        if (it == g_connections.end())
            return;
        c = std::move(it->second);
        g_connections.erase(it);
    }
    // Waits for a call in progress on another thread; an open transaction
    // is rolled back by the close.
    std::lock_guard<std::mutex> guard(c->lock);
    c->close();
}

QB_EXPORT bool QueryRecords(int conn, const char* sql, QbRecordSet** out, bool /*flag*/)
{
    if (out)
        *out = nullptr;
    if (!out || !sql)
        return false;
    return withConnection(conn, false, [&](Connection& c) {
        Statement stmt = prepare(c, sql);
        if (!stmt)
            return false;
        if (!sqlite3_stmt_readonly(stmt.get()))
            return c.fail("a query must not change the database");
        auto rs = std::make_unique<QbRecordSet>();
        const int count = sqlite3_column_count(stmt.get());
        for (int i = 0; i < count; ++i) {
            const char* name = sqlite3_column_name(stmt.get(), i);
            rs->columns.emplace_back(name ? name : "");
        }
        for (;;) {
            const int rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_DONE)
                break;
            if (rc != SQLITE_ROW)
                return c.failSqlite("query");
            std::vector<std::string> row(static_cast<size_t>(count));
            std::vector<bool> nulls(static_cast<size_t>(count));
            for (int i = 0; i < count; ++i) {
                // Integers come back as decimal text, NULL as "" (flagged).
                nulls[static_cast<size_t>(i)] = sqlite3_column_type(stmt.get(), i) == SQLITE_NULL;
                const auto* text = sqlite3_column_text(stmt.get(), i);
                if (text)
                    row[static_cast<size_t>(i)].assign(reinterpret_cast<const char*>(text),
                                                       static_cast<size_t>(sqlite3_column_bytes(stmt.get(), i)));
            }
            rs->rows.push_back(std::move(row));
            rs->nulls.push_back(std::move(nulls));
        }
        *out = rs.release();
        return true;
    });
}

QB_EXPORT int DeleteRecords(int conn, const char* table, const char* condition, bool /*flag*/)
{
    return withConnection(conn, -1, [&](Connection& c) {
        if (!isIdentifier(table))
            return c.fail("invalid table name"), -1;
        // The condition is the caller's SQL; an empty one would silently
        // empty the table, so it is refused.
        if (blankOrSemicolons(condition))
            return c.fail("empty condition"), -1;
        Statement stmt = prepare(c, std::string("DELETE FROM \"") + table + "\" WHERE " + condition);
        if (!stmt || !runToEnd(c, stmt.get()))
            return -1;
        return sqlite3_changes(c.db);
    });
}

QB_EXPORT int InsertRecordN(int conn, const char* table, const char* const* columns, const char* const* values,
                            const int* lengths, int count, bool /*flag*/)
{
    return withConnection(conn, -1, [&](Connection& c) {
        if (!isIdentifier(table))
            return c.fail("invalid table name"), -1;
        if (count < 1 || !columns || !values)
            return c.fail("no columns"), -1;
        std::string sql = std::string("INSERT INTO \"") + table + "\" (";
        std::string marks;
        for (int i = 0; i < count; ++i) {
            if (!isIdentifier(columns[i]))
                return c.fail(std::string("invalid column name: ") + (columns[i] ? columns[i] : "(null)")), -1;
            sql += (i ? ",\"" : "\"") + std::string(columns[i]) + "\"";
            marks += i ? ",?" : "?";
        }
        sql += ") VALUES (" + marks + ")";
        Statement stmt = prepare(c, sql);
        if (!stmt)
            return -1;
        for (int i = 0; i < count; ++i) {
            // Values are only ever bound, so quotes or SQL in a value stay text.
            // SQLITE_STATIC: the texts outlive the statement.
            const int length = lengths && lengths[i] >= 0 ? lengths[i] : -1;
            if (sqlite3_bind_text(stmt.get(), i + 1, values[i], length, SQLITE_STATIC) != SQLITE_OK)
                return c.failSqlite("bind"), -1;
        }
        if (!runToEnd(c, stmt.get()))
            return -1;
        return sqlite3_changes(c.db) >= 1 ? 1 : -1;
    });
}

QB_EXPORT int InsertRecord(int conn, const char* table, const char* const* columns, const char* const* values,
                           int count, bool flag)
{
    return InsertRecordN(conn, table, columns, values, nullptr, count, flag);
}

QB_EXPORT void AbortAllDB() { g_abort.store(true); }

QB_EXPORT bool ExecuteSQL(int conn, const char* sql, bool /*flag*/)
{
    if (!sql)
        return false;
    return withConnection(conn, false, [&](Connection& c) { return runSimple(c, sql); });
}

QB_EXPORT bool BeginTransaction(int conn)
{
    return withConnection(conn, false, [](Connection& c) {
        if (!sqlite3_get_autocommit(c.db))
            return c.fail("a transaction is already open");
        // IMMEDIATE takes the write lock now (waiting up to the busy
        // timeout), so the commit cannot fail for a competing writer.
        return runSimple(c, "BEGIN IMMEDIATE");
    });
}

QB_EXPORT bool CommitTransaction(int conn)
{
    return withConnection(conn, false, [](Connection& c) {
        if (sqlite3_get_autocommit(c.db))
            return c.fail("no open transaction");
        return runSimple(c, "COMMIT");
    });
}

QB_EXPORT bool RollbackTransaction(int conn)
{
    return withConnection(conn, false, [](Connection& c) {
        if (sqlite3_get_autocommit(c.db))
            return c.fail("no open transaction");
        return runSimple(c, "ROLLBACK");
    });
}

QB_EXPORT const char* LastDBError(int conn)
{
    // Copied out, so the text stays valid whatever other threads do with
    // the connection.
    thread_local std::string text;
    try {
        std::shared_ptr<Connection> c = find(conn);
        if (!c) {
            text = "no such connection";
        } else {
            std::lock_guard<std::mutex> guard(c->lock);
            text = c->lastError;
        }
    } catch (...) {
        text.clear();
    }
    return text.c_str();
}

QB_EXPORT void RecordSetFirst(QbRecordSet* rs)
{
    if (rs)
        rs->current = 0;
}

QB_EXPORT bool RecordSetEof(QbRecordSet* rs) { return !rs || rs->current >= rs->rows.size(); }

QB_EXPORT void RecordSetNext(QbRecordSet* rs)
{
    if (rs && rs->current < rs->rows.size())
        ++rs->current;
}

QB_EXPORT const char* RecordSetFieldAsString(QbRecordSet* rs, const char* field)
{
    const std::string* value = fieldValue(rs, field);
    return value ? value->c_str() : nullptr;
}

QB_EXPORT int RecordSetFieldLength(QbRecordSet* rs, const char* field)
{
    const std::string* value = fieldValue(rs, field);
    return value ? static_cast<int>(value->size()) : -1;
}

QB_EXPORT int RecordSetFieldAsInteger(QbRecordSet* rs, const char* field, bool* ok)
{
    if (ok)
        *ok = false;
    const size_t index = fieldIndex(rs, field);
    if (index == kNoField)
        return 0;
    if (rs->nulls[rs->current][index]) {
        if (ok)
            *ok = true;
        return 0;
    }
    const auto value = wholeNumber(rs->rows[rs->current][index]);
    if (!value)
        return 0;
    if (ok)
        *ok = true;
    return *value;
}

QB_EXPORT void FreeRecordSet(QbRecordSet* rs) { delete rs; }

} // extern "C"
