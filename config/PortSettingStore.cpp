#include "PortSettingStore.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

constexpr const char* kTable = "PORT_SETTING";

// Message box kinds and buttons of the general library.
constexpr int kMsgError = 1;
constexpr int kMsgInformation = 2;
constexpr int kBtnOk = 4;

class RecordSet {
public:
    explicit RecordSet(const support::DataAccessApi& da) : da_(da) {}
    ~RecordSet()
    {
        if (rs_)
            da_.FreeRecordSet(rs_);
    }
    RecordSet(const RecordSet&) = delete;
    RecordSet& operator=(const RecordSet&) = delete;

    bool query(int conn, const char* sql) { return da_.QueryRecords(conn, sql, &rs_, true) && rs_; }
    bool eof() const { return da_.RecordSetEof(rs_); }
    void next() { da_.RecordSetNext(rs_); }
    // nullptr when the record set has no such field.
    const char* text(const char* field) const { return da_.RecordSetFieldAsString(rs_, field); }
    // The whole value, NUL characters included; nullopt for no such field.
    std::optional<std::string> bytes(const char* field) const
    {
        const char* start = text(field);
        if (!start)
            return std::nullopt;
        const int length = da_.RecordSetFieldLength ? da_.RecordSetFieldLength(rs_, field) : -1;
        return length >= 0 ? std::string(start, static_cast<std::size_t>(length)) : std::string(start);
    }
    std::optional<int> integer(const char* field) const
    {
        bool ok = false;
        const int value = da_.RecordSetFieldAsInteger(rs_, field, &ok);
        return ok ? std::optional<int>(value) : std::nullopt;
    }

private:
    const support::DataAccessApi& da_;
    QbRecordSet* rs_ = nullptr;
};

// An open transaction that rolls back unless it was committed.
class Transaction {
public:
    Transaction(const support::DataAccessApi& da, int conn) : da_(da), conn_(conn)
    {
        open_ = da_.BeginTransaction(conn_);
    }
    ~Transaction()
    {
        if (open_)
            da_.RollbackTransaction(conn_);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool isOpen() const { return open_; }
    // A failed commit can leave the transaction open (a deferred constraint);
    // the destructor then rolls it back.
    bool commit()
    {
        if (!da_.CommitTransaction(conn_))
            return false;
        open_ = false;
        return true;
    }

private:
    const support::DataAccessApi& da_;
    int conn_;
    bool open_ = false;
};

std::string dbError(const support::DataAccessApi& da, int conn)
{
    const char* text = da.LastDBError ? da.LastDBError(conn) : nullptr;
    return text && *text ? text : "unknown database error";
}

bool sameName(const std::string& a, const char* b)
{
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return i == a.size() && b[i] == '\0';
}

// Names of the table's columns; nullopt when they cannot be read. A missing
// table has no columns.
std::optional<std::vector<std::string>> tableColumns(const support::DataAccessApi& da, int conn)
{
    RecordSet rs(da);
    if (!rs.query(conn, "PRAGMA table_info(PORT_SETTING)"))
        return std::nullopt;
    std::vector<std::string> names;
    for (; !rs.eof(); rs.next()) {
        const char* name = rs.text("name");
        if (!name)
            return std::nullopt;
        names.emplace_back(name);
    }
    return names;
}

std::string missingColumns(const std::vector<std::string>& present)
{
    std::string missing;
    for (const char* column : kPortSettingColumns) {
        bool found = false;
        for (const auto& name : present)
            found = found || sameName(name, column);
        if (!found)
            missing += (missing.empty() ? "\"" : ", \"") + std::string(column) + "\"";
    }
    return missing;
}

bool isIntegerField(int f)
{
    return f == psID || f == psDISABLED || f == psNULL_TERMINATED || f == psCONVERT_HEX || f == psLOGGED;
}

std::string invalidValue(const std::string& description, int field, const std::string& value)
{
    return "Port setting \"" + description + "\" has an invalid " + kPortGridTitles[static_cast<std::size_t>(field)] +
           " \"" + value + "\"; the port is not started.";
}

struct LoadedRow {
    TPortSetting setting;
    bool linkable = true;
};

} // namespace

bool EnsurePortSettingTable(const support::DataAccessApi& da, int conn, std::string& error)
{
    error.clear();
    if (conn <= 0) {
        error = "The configuration database is not connected.";
        return false;
    }
    auto columns = tableColumns(da, conn);
    if (columns && columns->empty()) {
        std::string sql = "CREATE TABLE IF NOT EXISTS PORT_SETTING (";
        for (int f = 0; f < psFieldCount; ++f) {
            const bool integer = PortSettingReadAsInteger(static_cast<PortSettingField>(f));
            sql += std::string(f ? ", " : "") + kPortSettingColumns[static_cast<std::size_t>(f)] +
                   (integer ? " INTEGER" : " TEXT");
        }
        sql += ")";
        if (!da.ExecuteSQL(conn, sql.c_str(), true)) {
            error = "The table PORT_SETTING cannot be created: " + dbError(da, conn);
            return false;
        }
        columns = tableColumns(da, conn);
    }
    if (!columns) {
        error = "The table PORT_SETTING cannot be read: " + dbError(da, conn);
        return false;
    }
    const std::string missing = missingColumns(*columns);
    if (!missing.empty()) {
        error = "The table PORT_SETTING lacks the columns " + missing + ".";
        return false;
    }
    return true;
}

PortSettingLoad LoadPortSettings(const support::DataAccessApi& da, int conn, TPortGrid& grid)
{
    PortSettingLoad result;
    // Read everything first, so that a failure half-way leaves the grid as
    // it was rather than half-loaded.
    std::vector<LoadedRow> loaded;
    {
        RecordSet rs(da);
        if (conn <= 0 || !rs.query(conn, "SELECT * FROM PORT_SETTING ORDER BY DESCRIPTION")) {
            result.problems.push_back("Port settings cannot be read: " +
                                      (conn <= 0 ? std::string("the database is not connected") : dbError(da, conn)));
            return result;
        }
        for (; !rs.eof(); rs.next()) {
            LoadedRow row;
            for (int f = 0; f < psFieldCount; ++f) {
                const char* column = kPortSettingColumns[static_cast<std::size_t>(f)];
                auto text = rs.bytes(column);
                if (!text) {
                    result.problems.push_back(std::string("Port settings cannot be read: the table PORT_SETTING has "
                                                          "no column \"") + column + "\".");
                    return result;
                }
                row.setting.fields[static_cast<std::size_t>(f)] = std::move(*text);
            }
            // A row provisioned without a number is still a row: it takes
            // its position, as New and Delete number rows.
            const bool unnumbered = row.setting[psID].empty();
            const std::string& description = row.setting[psDESCRIPTION];
            for (int f = 0; f < psFieldCount; ++f) {
                if (!isIntegerField(f))
                    continue;
                std::string& cell = row.setting.fields[static_cast<std::size_t>(f)];
                if (f == psID && unnumbered) {
                    cell = std::to_string(loaded.size() + 1);
                } else if (const auto value = rs.integer(kPortSettingColumns[static_cast<std::size_t>(f)])) {
                    cell = std::to_string(*value);
                } else {
                    // Shown as stored; the link would have to guess its value.
                    result.problems.push_back(invalidValue(description, f, cell));
                    row.linkable = false;
                }
            }
            // Stored in a REAL column as 250.0; anything else is taken as
            // before (Save writes 100 for a text that is no number).
            std::string& interval = row.setting.fields[psAUTO_SEND_INTERVAL];
            if (!interval.empty())
                if (const auto value = rs.integer("AUTO_SEND_INTERVAL"))
                    interval = std::to_string(*value);
            const auto baud = ParseDecimal(row.setting[psBAUD_RATE]);
            if (!baud || *baud <= 0) {
                result.problems.push_back(invalidValue(description, psBAUD_RATE, row.setting[psBAUD_RATE]));
                row.linkable = false;
            }
            loaded.push_back(std::move(row));
        }
    }

    int r = 1;
    for (const LoadedRow& row : loaded) {
        if (grid.RowCount() < r + 1)
            grid.AddRow();
        grid.SetRowSetting(r, row.setting);
        grid.SetCell(TPortGrid::kTagNameColumn, r, row.setting.tagName());
        grid.SetCell(TPortGrid::kCurrentValueColumn, r, std::string());
        if (row.linkable)
            result.rows.emplace_back(r, row.setting);
        ++r;
    }
    grid.SetRowCount(r);
    if (loaded.empty())
        grid.ClearRow(1);
    result.ok = true;
    return result;
}

namespace {

// What a row of the table must read back as: integer columns compared as
// the numbers they hold (a REAL column gives "1.0" back for "1"), the others
// byte for byte.
using StoredRow = std::vector<std::string>;

StoredRow writtenForm(StoredRow row)
{
    for (int f = 0; f < psFieldCount; ++f) {
        std::string& cell = row[static_cast<std::size_t>(f)];
        if (PortSettingReadAsInteger(static_cast<PortSettingField>(f)))
            if (const auto value = ParseDecimal(cell))
                cell = std::to_string(*value);
    }
    return row;
}

// The table's rows in the same form, sorted; nullopt when they cannot be read.
std::optional<std::vector<StoredRow>> readBack(const support::DataAccessApi& da, int conn)
{
    RecordSet rs(da);
    if (!rs.query(conn, "SELECT * FROM PORT_SETTING"))
        return std::nullopt;
    std::vector<StoredRow> rows;
    for (; !rs.eof(); rs.next()) {
        StoredRow row;
        for (int f = 0; f < psFieldCount; ++f) {
            const char* column = kPortSettingColumns[static_cast<std::size_t>(f)];
            auto value = rs.bytes(column);
            if (!value)
                return std::nullopt;
            if (PortSettingReadAsInteger(static_cast<PortSettingField>(f)) && !value->empty())
                if (const auto number = rs.integer(column))
                    value = std::to_string(*number);
            row.push_back(std::move(*value));
        }
        rows.push_back(std::move(row));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

} // namespace

bool SavePortSettings(const support::DataAccessApi& da, int conn, const TPortGrid& grid, const ShowMsgFn& showMsg)
{
    std::string mismatch;
    const auto write = [&]() {
        if (conn <= 0)
            return false;
        Transaction transaction(da, conn);
        if (!transaction.isOpen())
            return false;
        // "ID = ID" alone would keep rows whose ID is NULL (provisioned by
        // hand); the table is rewritten whole.
        if (da.DeleteRecords(conn, kTable, "ID = ID OR ID IS NULL", true) < 0)
            return false;
        std::array<const char*, psFieldCount> values {};
        std::array<int, psFieldCount> lengths {};
        std::vector<StoredRow> written;
        for (int row = 1; row < grid.RowCount(); ++row) {
            if (grid.Cell(psDESCRIPTION, row).empty())
                continue;
            const std::string interval =
                ParseDecimal(grid.Cell(psAUTO_SEND_INTERVAL, row)) ? grid.Cell(psAUTO_SEND_INTERVAL, row) : "100";
            StoredRow expected;
            for (int f = 0; f < psFieldCount; ++f) {
                const std::string& cell = f == psAUTO_SEND_INTERVAL ? interval : grid.Cell(f, row);
                values[static_cast<std::size_t>(f)] = cell.c_str();
                // With its length: an auto-suffix may hold NUL characters.
                lengths[static_cast<std::size_t>(f)] = static_cast<int>(cell.size());
                expected.push_back(cell);
            }
            written.push_back(writtenForm(std::move(expected)));
            if (da.InsertRecordN(conn, kTable, kPortSettingColumns.data(), values.data(), lengths.data(),
                                 psFieldCount, true) < 1)
                return false;
        }
        // Triggers or column types of a provisioned table may store
        // something else than what was written; that is found before the
        // commit, so the previous rows stay.
        std::sort(written.begin(), written.end());
        const auto stored = readBack(da, conn);
        if (!stored)
            return false;
        if (*stored != written) {
            mismatch = "Port settings were not stored as written (" + std::to_string(written.size()) +
                       " rows written, " + std::to_string(stored->size()) +
                       " different or other rows read back; triggers on PORT_SETTING?); the previous settings stay.";
            return false;
        }
        return transaction.commit();
    };
    // The transaction is closed before the box is shown, so the database is
    // never held locked while a modal box waits for the user.
    if (!write()) {
        showMsg(mismatch.empty() ? "Error saving Port Settings!" : "Error saving Port Settings! " + mismatch, kMsgError,
                kBtnOk);
        return false;
    }
    showMsg("Port Settings saved!", kMsgInformation, kBtnOk);
    return true;
}
