#pragma once
// Data-access support library "qbDataAccess": the configuration database.
// C calling convention; the library is loaded by base name and every function
// is looked up by its exported name.
//
// Ownership: a record set from QueryRecords belongs to the caller, who frees
// it with FreeRecordSet. Texts returned by RecordSetFieldAsString stay valid
// until the next call on the same record set.
// Every statement is prepared; values are always bound, never spliced into
// SQL. Table and column names must be plain identifiers (letters, digits,
// underscore), else the call fails.

extern "C" {

struct QbRecordSet;

// Returns a connection handle >= 1, or 0 when the database cannot be opened
// (also when another program holds it locked for more than a moment). A
// missing database file is created.
typedef int (*TConnectDB)(const char* path, const char* user, const char* password, bool flag,
                          void* appWindow);
// Runs a query; on success *out receives the record set (positioned on its
// first record) and the result is true.
typedef bool (*TQueryRecords)(int conn, const char* sql, QbRecordSet** out, bool flag);
// Number of rows deleted, or a negative value on failure.
typedef int (*TDeleteRecords)(int conn, const char* table, const char* condition, bool flag);
// 1 when the row was inserted, 0 or below on failure.
typedef int (*TInsertRecord)(int conn, const char* table, const char* const* columns,
                             const char* const* values, int count, bool flag);
// The same with the byte length of each value (lengths[i] < 0: up to the
// first NUL), so that values holding NUL characters are stored whole.
typedef int (*TInsertRecordN)(int conn, const char* table, const char* const* columns,
                              const char* const* values, const int* lengths, int count, bool flag);
typedef void (*TDisconnectDB)(int conn, bool flag);
// Runs one statement that returns no rows (schema set-up); true on success.
typedef bool (*TExecuteSQL)(int conn, const char* sql, bool flag);
// Ends every statement in progress and every wait for a lock, on every
// connection, and makes all later calls fail: for a process that is ending.
// Async-signal-safe (it sets one lock-free flag).
//
// Every statement also ends with an error after 10 s, values are limited to
// 64 MiB and SQL texts to 1 MiB, and temporary data is kept in memory under
// a cap on SQLite's memory, so no configuration file can hold the program
// or fill the disk.
typedef void (*TAbortAllDB)();
// Transactions: one open transaction per connection at a time.
typedef bool (*TBeginTransaction)(int conn);
typedef bool (*TCommitTransaction)(int conn);
typedef bool (*TRollbackTransaction)(int conn);
// The text of the failure of the last call on this connection (empty when it
// succeeded); a non-empty text for a handle that is not connected.
typedef const char* (*TLastDBError)(int conn);

// Record set walk: first, end test, field by name, next, free.
typedef void (*TRecordSetFirst)(QbRecordSet* rs);
typedef bool (*TRecordSetEof)(QbRecordSet* rs);
typedef void (*TRecordSetNext)(QbRecordSet* rs);
// Field value as text; NULL columns give "". An unknown field name gives
// nullptr.
typedef const char* (*TRecordSetFieldAsString)(QbRecordSet* rs, const char* field);
// Byte length of the field's value (which may hold NUL characters); -1 when
// the field is unknown.
typedef int (*TRecordSetFieldLength)(QbRecordSet* rs, const char* field);
// Field value as an integer: any stored whole number ("13", 13, 13.0,
// "13.0") is that integer and NULL is 0; *ok is false when the field is
// unknown or its value is not a whole number within int ("", "1.5", "x").
typedef int (*TRecordSetFieldAsInteger)(QbRecordSet* rs, const char* field, bool* ok);
typedef void (*TFreeRecordSet)(QbRecordSet* rs);

int ConnectDB(const char* path, const char* user, const char* password, bool flag, void* appWindow);
bool QueryRecords(int conn, const char* sql, QbRecordSet** out, bool flag);
int DeleteRecords(int conn, const char* table, const char* condition, bool flag);
int InsertRecord(int conn, const char* table, const char* const* columns, const char* const* values,
                 int count, bool flag);
int InsertRecordN(int conn, const char* table, const char* const* columns, const char* const* values,
                  const int* lengths, int count, bool flag);
void AbortAllDB();
int RecordSetFieldLength(QbRecordSet* rs, const char* field);
void DisconnectDB(int conn, bool flag);
bool ExecuteSQL(int conn, const char* sql, bool flag);
bool BeginTransaction(int conn);
bool CommitTransaction(int conn);
bool RollbackTransaction(int conn);
const char* LastDBError(int conn);
void RecordSetFirst(QbRecordSet* rs);
bool RecordSetEof(QbRecordSet* rs);
void RecordSetNext(QbRecordSet* rs);
const char* RecordSetFieldAsString(QbRecordSet* rs, const char* field);
int RecordSetFieldAsInteger(QbRecordSet* rs, const char* field, bool* ok);
void FreeRecordSet(QbRecordSet* rs);
}
