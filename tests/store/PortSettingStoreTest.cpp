#include "PortListCommands.h"
#include "PortSettingStore.h"
#include "ScopedEnv.h"
#include "SupportTestEnv.h"

#include <optional>
#include <tuple>

using namespace supporttest;
using Rows = std::vector<std::vector<std::string>>;

namespace {

// The real library, with QueryRecords and FreeRecordSet counted so that a
// test fails when a record set is left behind on any path.
support::DataAccessApi g_real;
int g_liveRecordSets = 0;
bool countingQuery(int conn, const char* sql, QbRecordSet** out, bool flag)
{
    const bool ok = g_real.QueryRecords(conn, sql, out, flag);
    g_liveRecordSets += out && *out ? 1 : 0;
    return ok;
}
void countingFree(QbRecordSet* rs)
{
    g_liveRecordSets -= rs ? 1 : 0;
    g_real.FreeRecordSet(rs);
}

std::string createTable(const std::function<std::string(int field)>& type, const std::string& extra = "")
{
    std::string sql = "CREATE TABLE PORT_SETTING (";
    for (int f = 0; f < psFieldCount; ++f)
        sql += std::string(f ? ", " : "") + kPortSettingColumns[static_cast<std::size_t>(f)] + type(f);
    return sql + extra + ")";
}
const std::string kAllText = createTable([](int) { return " TEXT"; });

TPortSetting setting(const std::string& id, const std::string& description, const std::string& port)
{
    return {{id, description, port, "9600", "8", "None", "1", "None", "", "", "", "", "0", "13", "", "0", "", "100",
             "0", "\r\n"}};
}

using Message = std::tuple<std::string, int, int>;

class Store : public SupportTest {
protected:
    void SetUp() override
    {
        SupportTest::SetUp();
        if (HasFatalFailure())
            return;
        config.emplace("XDG_CONFIG_HOME", dir.file("config").c_str());
        home.emplace("HOME", dir.file("home").c_str());
        g_real = da = libs().da;
        da.QueryRecords = countingQuery;
        da.FreeRecordSet = countingFree;
        conn = da.ConnectDB(dir.file("LINVARO.GDB").c_str(), "SYSDBA", "", true, nullptr);
        ASSERT_GT(conn, 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(g_liveRecordSets, 0) << "record set not freed";
        da.DisconnectDB(conn, true);
        config.reset();
        home.reset();
        SupportTest::TearDown();
    }
    void exec(const std::string& sql) { ASSERT_TRUE(da.ExecuteSQL(conn, sql.c_str(), true)) << da.LastDBError(conn); }
    void insert(const TPortSetting& s)
    {
        std::array<const char*, psFieldCount> values {};
        for (int f = 0; f < psFieldCount; ++f)
            values[static_cast<std::size_t>(f)] = s.fields[static_cast<std::size_t>(f)].c_str();
        ASSERT_EQ(da.InsertRecord(conn, "PORT_SETTING", kPortSettingColumns.data(), values.data(), psFieldCount, true), 1);
    }
    Rows query(const std::string& sql, const std::vector<const char*>& columns)
    {
        Rows rows;
        QbRecordSet* rs = nullptr;
        EXPECT_TRUE(da.QueryRecords(conn, sql.c_str(), &rs, true)) << da.LastDBError(conn);
        for (; rs && !da.RecordSetEof(rs); da.RecordSetNext(rs)) {
            rows.emplace_back();
            for (const char* column : columns)
                rows.back().emplace_back(da.RecordSetFieldAsString(rs, column));
        }
        da.FreeRecordSet(rs);
        return rows;
    }
    Rows dump(const std::string& order = "rowid")
    {
        return query("SELECT * FROM PORT_SETTING ORDER BY " + order, {kPortSettingColumns.begin(), kPortSettingColumns.end()});
    }
    static Rows cells(const TPortGrid& grid)
    {
        Rows all(static_cast<std::size_t>(grid.RowCount()));
        for (int r = 0; r < grid.RowCount(); ++r)
            for (int c = 0; c < TPortGrid::kColumnCount; ++c)
                all[static_cast<std::size_t>(r)].push_back(grid.Cell(c, r));
        return all;
    }
    static void fill(TPortGrid& grid, const std::vector<TPortSetting>& settings)
    {
        grid.SetRowCount(static_cast<int>(settings.size()) + 1);
        for (std::size_t i = 0; i < settings.size(); ++i)
            grid.SetRowSetting(static_cast<int>(i) + 1, settings[i]);
    }
    bool save(const TPortGrid& grid, std::optional<int> handle = std::nullopt)
    {
        return SavePortSettings(da, handle.value_or(conn), grid, [this](const std::string& text, int kind, int buttons) {
            messages.emplace_back(text, kind, buttons);
            return 1;
        });
    }

    std::optional<ScopedEnv> config, home;
    support::DataAccessApi da;
    int conn = 0;
    std::string error;
    std::vector<Message> messages;
    const std::vector<Message> kSaved {{"Port Settings saved!", 2, 4}};
    const std::vector<Message> kSaveError {{"Error saving Port Settings!", 1, 4}};
};

TEST_F(Store, CreatedTableLoadsEmptyAndClearsTheGrid)
{
    EXPECT_FALSE(EnsurePortSettingTable(da, 0, error));
    ASSERT_TRUE(EnsurePortSettingTable(da, conn, error)) << error;
    ASSERT_TRUE(EnsurePortSettingTable(da, conn, error)) << error;
    EXPECT_EQ(query("SELECT name FROM pragma_table_info('PORT_SETTING') WHERE type = 'INTEGER'", {"name"}),
              (Rows {{"ID"}, {"DISABLED"}, {"NULL_TERMINATED"}, {"CONVERT_HEX"}, {"AUTO_SEND_INTERVAL"}, {"LOGGED"}}));

    TPortGrid grid;
    fill(grid, {setting("1", "A", "COM1"), setting("2", "B", "COM2"), setting("3", "C", "COM3")});
    grid.SetCell(TPortGrid::kCurrentValueColumn, 1, "last value");
    const PortSettingLoad load = LoadPortSettings(da, conn, grid);
    EXPECT_TRUE(load.ok);
    EXPECT_TRUE(load.rows.empty());
    EXPECT_TRUE(load.problems.empty());
    Rows expected = cells(TPortGrid());
    EXPECT_EQ(cells(grid), expected);
}

class ProvisionedTable : public Store, public ::testing::WithParamInterface<std::string> {};

TEST_P(ProvisionedTable, IsAcceptedWhateverItsDeclaredTypes)
{
    exec(GetParam());
    ASSERT_TRUE(EnsurePortSettingTable(da, conn, error)) << error;
    insert(setting("7", "Scale", "COM3"));
    TPortGrid grid;
    const PortSettingLoad load = LoadPortSettings(da, conn, grid);
    ASSERT_EQ(load.rows.size(), 1u);
    EXPECT_EQ(load.rows[0].second.fields, setting("7", "Scale", "COM3").fields);
}

INSTANTIATE_TEST_SUITE_P(Tables, ProvisionedTable,
                         ::testing::Values(kAllText, createTable([](int) { return ""; }),
                                           createTable([](int f) { return f % 2 ? " VARCHAR(80)" : " NUMERIC"; },
                                                       ", REMARK TEXT"),
                                           "CREATE TABLE port_setting (auto_suffix, logged, auto_send_interval, "
                                           "auto_send_string, convert_hex, from_substring, null_terminated, "
                                           "disabled, sent_flag_tag, sent_string_tag, received_flag_tag, "
                                           "received_string_tag, flow_control, stop_bits, parity, data_bits, "
                                           "baud_rate, port, description, id)"));

TEST_F(Store, TableWithoutSomeColumnsIsRefusedNamingThem)
{
    exec(createTable([](int f) { return f == psLOGGED || f == psAUTO_SUFFIX ? "_OLD TEXT" : " TEXT"; }));
    EXPECT_FALSE(EnsurePortSettingTable(da, conn, error));
    EXPECT_NE(error.find("\"LOGGED\", \"AUTO_SUFFIX\""), std::string::npos) << error;
    EXPECT_EQ(error.find("\"ID\""), std::string::npos) << error;
}

TEST_F(Store, RowsComeBackByDescriptionWithTheirStoredIdsDisabledOnesIncluded)
{
    ASSERT_TRUE(EnsurePortSettingTable(da, conn, error));
    TPortSetting scale = setting("3", "Scale", "COM3"), mixer = setting("1", "Mixer", "COM1"),
                 belt = setting("2", "Belt", "COM2");
    mixer[psDISABLED] = "1";
    belt[psNULL_TERMINATED] = "-1";
    for (const auto& s : {scale, mixer, belt})
        insert(s);

    TPortGrid grid;
    const PortSettingLoad load = LoadPortSettings(da, conn, grid);
    ASSERT_TRUE(load.ok);
    EXPECT_TRUE(load.problems.empty());
    ASSERT_EQ(grid.RowCount(), 4);
    const TPortSetting inOrder[] = {belt, mixer, scale};
    const char* tagNames[] = {"Belt_COM2", "Mixer_COM1", "Scale_COM3"};
    ASSERT_EQ(load.rows.size(), 3u);
    for (int r = 1; r <= 3; ++r) {
        EXPECT_EQ(grid.RowSetting(r).fields, inOrder[r - 1].fields) << "row " << r;
        EXPECT_EQ(grid.Cell(TPortGrid::kTagNameColumn, r), tagNames[r - 1]);
        EXPECT_EQ(load.rows[static_cast<std::size_t>(r - 1)].first, r);
        EXPECT_EQ(load.rows[static_cast<std::size_t>(r - 1)].second.fields, inOrder[r - 1].fields);
    }
}

struct BadValue {
    PortSettingField field;
    std::optional<std::string> stored; // nullopt: NULL
};

void PrintTo(const BadValue& v, std::ostream* os) { *os << kPortSettingColumns[v.field] << "=" << v.stored.value_or("NULL"); }

class InvalidValue : public Store, public ::testing::WithParamInterface<BadValue> {};

TEST_P(InvalidValue, IsReportedAndShownAndItsRowGetsNoLinkNorLosesItAtSave)
{
    exec(kAllText);
    for (const char* description : {"A", "B", "C"})
        insert(setting("1", description, "COM1"));
    const char* column = kPortSettingColumns[GetParam().field];
    const std::string stored = GetParam().stored.value_or("");
    exec(std::string("UPDATE PORT_SETTING SET ") + column + " = " +
         (GetParam().stored ? "'" + stored + "'" : "NULL") + " WHERE DESCRIPTION = 'B'");

    for (int pass = 0; pass < 2; ++pass) { // the second after a save of the loaded grid
        TPortGrid grid;
        const PortSettingLoad load = LoadPortSettings(da, conn, grid);
        ASSERT_TRUE(load.ok);
        ASSERT_EQ(load.problems.size(), 1u);
        EXPECT_EQ(load.problems[0], std::string("Port setting \"B\" has an invalid ") +
                                        kPortGridTitles[GetParam().field] + " \"" + stored +
                                        "\"; the port is not started.");
        ASSERT_EQ(grid.RowCount(), 4);
        EXPECT_EQ(grid.Cell(psDESCRIPTION, 2), "B");
        EXPECT_EQ(grid.Cell(GetParam().field, 2), stored);
        ASSERT_EQ(load.rows.size(), 2u);
        EXPECT_EQ(load.rows[0].first, 1);
        EXPECT_EQ(load.rows[1].first, 3);
        ASSERT_TRUE(save(grid));
    }
}

INSTANTIATE_TEST_SUITE_P(Fields, InvalidValue,
                         ::testing::Values(BadValue {psBAUD_RATE, "fast"}, BadValue {psBAUD_RATE, "-9600"},
                                           BadValue {psBAUD_RATE, std::nullopt},
                                           BadValue {psNULL_TERMINATED, "x"}, BadValue {psDISABLED, "yes"},
                                           BadValue {psCONVERT_HEX, "1.5"}, BadValue {psLOGGED, "0.5"},
                                           BadValue {psID, "first"}),
                         [](const auto& info) {
                             return std::string("Column_") + kPortSettingColumns[info.param.field] + "_" +
                                    std::to_string(info.index);
                         });

TEST_F(Store, SaveRewritesTheWholeTableAndTextsRoundTripVerbatim)
{
    ASSERT_TRUE(EnsurePortSettingTable(da, conn, error));
    insert(setting("9", "Old", "COM9"));
    exec("INSERT INTO PORT_SETTING (DESCRIPTION) VALUES ('Hand-made, no ID')");

    TPortSetting hostile = setting("1", "Scale \"A\" x'); DROP TABLE PORT_SETTING;--", "COM3");
    hostile[psAUTO_SUFFIX] = std::string("\r\n\x01\x1b\x7f", 5);
    hostile[psFROM_SUBSTRING] = "ST,GS,";
    hostile[psAUTO_SEND_STRING] = "W\r";
    hostile[psRECEIVED_STRING_TAG] = "Gerät.Wert ✓";
    TPortSetting letters = setting("2", "Belt", "COM2");
    letters[psAUTO_SEND_INTERVAL] = "fast";
    TPortSetting unnamed = setting("3", "", "COM4");
    TPortGrid grid;
    fill(grid, {hostile, unnamed, letters});
    ASSERT_TRUE(save(grid));
    EXPECT_EQ(messages, kSaved);

    letters[psAUTO_SEND_INTERVAL] = "100";
    const auto row = [](const TPortSetting& x) { return std::vector<std::string>(x.fields.begin(), x.fields.end()); };
    EXPECT_EQ(dump("DESCRIPTION"), (Rows {row(letters), row(hostile)}));
    TPortGrid loaded;
    const PortSettingLoad load = LoadPortSettings(da, conn, loaded);
    EXPECT_TRUE(load.problems.empty());
    ASSERT_EQ(loaded.RowCount(), 3);
    EXPECT_EQ(loaded.RowSetting(1).fields, letters.fields);
    EXPECT_EQ(loaded.RowSetting(2).fields, hostile.fields);
}

struct Obstacle {
    const char* name;
    std::vector<std::string> sql; // run after the standard table was created
};

void PrintTo(const Obstacle& o, std::ostream* os) { *os << o.name; }

class FailingSave : public Store, public ::testing::WithParamInterface<Obstacle> {};

TEST_P(FailingSave, KeepsExactlyThePreviousRowsAndShowsOneError)
{
    ASSERT_TRUE(EnsurePortSettingTable(da, conn, error));
    insert(setting("1", "Kept", "COM1"));
    insert(setting("2", "Also kept", "COM1"));
    for (const auto& sql : GetParam().sql)
        exec(sql);
    const Rows before = dump();
    TPortGrid grid;
    fill(grid, {setting("1", "New", "COM1"), setting("2", "Poison", "COM9"), setting("3", "Never", "COM1")});

    EXPECT_FALSE(save(grid));
    EXPECT_EQ(messages, kSaveError);
    EXPECT_EQ(dump(), before);
    // No transaction was left open.
    EXPECT_TRUE(da.BeginTransaction(conn)) << da.LastDBError(conn);
    EXPECT_TRUE(da.RollbackTransaction(conn));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailingSave,
    ::testing::Values(
        Obstacle {"Insert", {"CREATE TRIGGER refuse BEFORE INSERT ON PORT_SETTING WHEN NEW.DESCRIPTION = 'Poison' "
                             "BEGIN SELECT RAISE(ABORT, 'refused'); END"}},
        Obstacle {"Delete", {"CREATE TRIGGER refuse BEFORE DELETE ON PORT_SETTING "
                             "BEGIN SELECT RAISE(ABORT, 'refused'); END"}},
        // A deferred foreign key is checked only at commit.
        Obstacle {"Commit", {"CREATE TABLE PORTS (NAME TEXT PRIMARY KEY)", "INSERT INTO PORTS VALUES ('COM1')",
                             "PRAGMA foreign_keys = ON",
                             "CREATE TABLE CHECKED (DESCRIPTION TEXT, PORT TEXT REFERENCES PORTS (NAME) "
                             "DEFERRABLE INITIALLY DEFERRED)",
                             "CREATE TRIGGER copy AFTER INSERT ON PORT_SETTING "
                             "BEGIN INSERT INTO CHECKED VALUES (NEW.DESCRIPTION, NEW.PORT); END"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Store, SaveWithoutAConnectionFails)
{
    TPortGrid grid;
    fill(grid, {setting("1", "A", "COM1")});
    for (int handle : {0, -1, 9999}) {
        messages.clear();
        EXPECT_FALSE(save(grid, handle));
        EXPECT_EQ(messages, kSaveError) << handle;
    }
}

class UnreadableTable : public Store, public ::testing::WithParamInterface<std::string> {};

TEST_P(UnreadableTable, LeavesTheGridUnchanged)
{
    if (!GetParam().empty()) {
        exec(GetParam());
        exec("INSERT INTO PORT_SETTING (ID, DESCRIPTION) VALUES (1, 'A')");
    }
    TPortGrid grid;
    fill(grid, {setting("1", "Unsaved", "COM1")});
    grid.SetCell(TPortGrid::kCurrentValueColumn, 1, "value");
    const Rows before = cells(grid);
    for (int handle : {conn, 0}) {
        const PortSettingLoad load = LoadPortSettings(da, handle, grid);
        EXPECT_FALSE(load.ok);
        EXPECT_EQ(load.problems.size(), 1u);
        EXPECT_TRUE(load.rows.empty());
        EXPECT_EQ(cells(grid), before);
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, UnreadableTable,
                         ::testing::Values("", createTable([](int f) { return f == psLOGGED ? "_GONE" : ""; })));

// Provisioned with the sqlite3 tool: integer columns declared REAL, values
// stored as 1.0, and the flags left out of the INSERT (NULL).
TEST_F(Store, RealColumnsAndLeftOutFlagsLoadAsTheirIntegers)
{
    exec(createTable([](int f) { return PortSettingReadAsInteger(static_cast<PortSettingField>(f)) ? " REAL" : " TEXT"; }));
    ASSERT_TRUE(EnsurePortSettingTable(da, conn, error)) << error;
    exec("INSERT INTO PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, FLOW_CONTROL, "
         "NULL_TERMINATED, AUTO_SEND_INTERVAL) VALUES (1.0, 'Scale', 'COM3', '9600', '8', 'None', '1', 'None', 13.0, "
         "'250')");
    exec("INSERT INTO PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, FLOW_CONTROL, "
         "DISABLED, CONVERT_HEX, LOGGED) VALUES (2, 'Belt', 'COM4', '9600', '8', 'None', '1', 'None', '1', 1.0, 0.0)");
    TPortGrid grid;
    const PortSettingLoad load = LoadPortSettings(da, conn, grid);
    EXPECT_TRUE(load.problems.empty()) << load.problems.front();
    ASSERT_EQ(load.rows.size(), 2u);
    const TPortSetting& belt = load.rows[0].second;
    const TPortSetting& scale = load.rows[1].second;
    EXPECT_EQ(scale[psID], "1");
    EXPECT_EQ(scale[psNULL_TERMINATED], "13");
    EXPECT_EQ(scale[psDISABLED], "0");
    EXPECT_EQ(scale[psCONVERT_HEX], "0");
    EXPECT_EQ(scale[psLOGGED], "0");
    EXPECT_EQ(scale[psAUTO_SEND_INTERVAL], "250");
    EXPECT_TRUE(belt.disabled());
    EXPECT_TRUE(belt.convertHex());
    EXPECT_EQ(belt[psNULL_TERMINATED], "0");
    // Saved back into the REAL columns, the rows read back as written.
    ASSERT_TRUE(save(grid));
    EXPECT_EQ(messages, kSaved);
}

TEST_F(Store, RowsWithoutANumberAreNumberedRowsThatNewAndSaveKeep)
{
    exec(kAllText);
    insert(setting("1", "First", "COM1"));
    exec("INSERT INTO PORT_SETTING (DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, FLOW_CONTROL) "
         "VALUES ('No number', 'COM2', '9600', '8', 'None', '1', 'None')");
    exec("INSERT INTO PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, FLOW_CONTROL) "
         "VALUES ('', 'Zero text', 'COM3', '9600', '8', 'None', '1', 'None')");
    TPortGrid grid;
    const PortSettingLoad load = LoadPortSettings(da, conn, grid);
    ASSERT_EQ(grid.RowCount(), 4);
    for (int row = 1; row < 4; ++row) {
        EXPECT_FALSE(grid.RowIsEmpty(row)) << row;
        EXPECT_EQ(grid.Cell(psID, row), std::to_string(row));
    }
    EXPECT_EQ(load.rows.size(), 3u);
    // New adds a row; it takes none of the loaded ones.
    ASSERT_TRUE(PortListNew(grid, [](const TPortGrid&, int, TPortSetting& entered) {
        entered = setting("", "Added", "COM4");
        return true;
    }));
    ASSERT_EQ(grid.RowCount(), 5);
    EXPECT_EQ(grid.Cell(psDESCRIPTION, 2), "No number");
    ASSERT_TRUE(save(grid));
    const Rows stored = query("SELECT DESCRIPTION FROM PORT_SETTING ORDER BY DESCRIPTION", {"DESCRIPTION"});
    EXPECT_EQ(stored, (Rows {{"Added"}, {"First"}, {"No number"}, {"Zero text"}}));
}

TEST_F(Store, AutoSuffixWithNulRoundTripsWhole)
{
    ASSERT_TRUE(EnsurePortSettingTable(da, conn, error));
    TPortSetting s = setting("1", "Scale", "COM3");
    s[psAUTO_SUFFIX] = std::string("#\0\r", 3);
    TPortGrid grid;
    fill(grid, {s});
    ASSERT_TRUE(save(grid));
    TPortGrid loaded;
    const PortSettingLoad load = LoadPortSettings(da, conn, loaded);
    ASSERT_EQ(load.rows.size(), 1u);
    EXPECT_EQ(loaded.Cell(psAUTO_SUFFIX, 1), s[psAUTO_SUFFIX]);
    EXPECT_EQ(load.rows[0].second[psAUTO_SUFFIX].size(), 3u);
}

class TriggeredSave : public Store, public ::testing::WithParamInterface<Obstacle> {};

// Triggers that make the table hold something else than what Save wrote:
// Save finds it before the commit, keeps the previous rows and says so.
TEST_P(TriggeredSave, IsFoundByReadingBackAndKeepsThePreviousRows)
{
    ASSERT_TRUE(EnsurePortSettingTable(da, conn, error));
    insert(setting("1", "Kept", "COM1"));
    for (const auto& sql : GetParam().sql)
        exec(sql);
    const Rows before = dump();
    TPortGrid grid;
    fill(grid, {setting("1", "New", "COM1"), setting("2", "Other", "COM2")});
    EXPECT_FALSE(save(grid));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(std::get<0>(messages[0]).find("not stored as written"), std::string::npos) << std::get<0>(messages[0]);
    EXPECT_EQ(std::get<1>(messages[0]), 1);
    EXPECT_EQ(dump(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Triggers, TriggeredSave,
    ::testing::Values(Obstacle {"Duplicates", {"CREATE TRIGGER twice AFTER INSERT ON PORT_SETTING WHEN NEW.ID = 1 "
                                               "BEGIN INSERT INTO PORT_SETTING (ID, DESCRIPTION) VALUES (9, 'Copy'); END"}},
                      Obstacle {"Drops", {"CREATE TRIGGER lose AFTER INSERT ON PORT_SETTING WHEN NEW.ID = 2 "
                                          "BEGIN DELETE FROM PORT_SETTING WHERE ID = 2; END"}},
                      Obstacle {"Changes", {"CREATE TRIGGER change AFTER INSERT ON PORT_SETTING "
                                            "BEGIN UPDATE PORT_SETTING SET PORT = 'COM9' WHERE ID = NEW.ID; END"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
