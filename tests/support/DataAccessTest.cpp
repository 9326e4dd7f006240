#include "SupportTestEnv.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

using namespace supporttest;

namespace {

const char* const kColumns[20] = {"ID", "DESCRIPTION", "PORT", "BAUD_RATE", "DATA_BITS", "PARITY", "STOP_BITS",
                                  "FLOW_CONTROL", "RECEIVED_STRING_TAG", "RECEIVED_FLAG_TAG", "SENT_STRING_TAG",
                                  "SENT_FLAG_TAG", "DISABLED", "NULL_TERMINATED", "FROM_SUBSTRING", "CONVERT_HEX",
                                  "AUTO_SEND_STRING", "AUTO_SEND_INTERVAL", "LOGGED", "AUTO_SUFFIX"};

class DataAccess : public SupportTest {
protected:
    const support::DataAccessApi& da = libs().da;
    int conn = 0;

    void SetUp() override
    {
        SupportTest::SetUp();
        conn = da.ConnectDB(dir.file("LINVARO.GDB").c_str(), "SYSDBA", "", true, nullptr);
        ASSERT_GE(conn, 1);
        std::string sql = "CREATE TABLE PORT_SETTING (";
        for (int i = 0; i < 20; ++i)
            sql += std::string(i ? ", " : "") + kColumns[i] + " TEXT";
        ASSERT_TRUE(da.ExecuteSQL(conn, (sql + ")").c_str(), true)) << da.LastDBError(conn);
    }
    void TearDown() override
    {
        da.DisconnectDB(conn, true);
        SupportTest::TearDown();
    }
    // Inserts ID and DESCRIPTION; the other 18 columns stay NULL.
    int insert(const std::string& id, const std::string& description)
    {
        const char* values[] = {id.c_str(), description.c_str()};
        return da.InsertRecord(conn, "PORT_SETTING", kColumns, values, 2, true);
    }
    // Values of one field over the whole result of sql, in order.
    std::vector<std::string> column(const char* sql, const char* field)
    {
        QbRecordSet* rs = nullptr;
        std::vector<std::string> values;
        EXPECT_TRUE(da.QueryRecords(conn, sql, &rs, true)) << da.LastDBError(conn);
        for (da.RecordSetFirst(rs); !da.RecordSetEof(rs); da.RecordSetNext(rs)) {
            const char* v = da.RecordSetFieldAsString(rs, field);
            values.emplace_back(v ? v : "<unknown>");
        }
        da.FreeRecordSet(rs);
        return values;
    }
    std::vector<std::string> descriptions() { return column("SELECT * FROM PORT_SETTING ORDER BY ID", "DESCRIPTION"); }
};

using Strings = std::vector<std::string>;

TEST_F(DataAccess, AllTwentyColumnsRoundTripAndRowsComeBackInQueryOrder)
{
    std::vector<std::string> full;
    for (int i = 0; i < 20; ++i)
        full.push_back("v" + std::to_string(i));
    full[0] = "3";
    full[1] = "Weigher";
    std::vector<const char*> values;
    for (const auto& v : full)
        values.push_back(v.c_str());
    ASSERT_EQ(da.InsertRecord(conn, "PORT_SETTING", kColumns, values.data(), 20, true), 1);
    ASSERT_EQ(insert("1", "Scanner"), 1);
    ASSERT_EQ(insert("2", "Axle"), 1);

    QbRecordSet* rs = nullptr;
    ASSERT_TRUE(da.QueryRecords(conn, "SELECT * FROM PORT_SETTING ORDER BY DESCRIPTION", &rs, true));
    // Positioned on the first record; names match in any letter case.
    EXPECT_STREQ(da.RecordSetFieldAsString(rs, "description"), "Axle");
    EXPECT_STREQ(da.RecordSetFieldAsString(rs, "AUTO_SUFFIX"), ""); // NULL
    EXPECT_EQ(da.RecordSetFieldAsString(rs, "NO_SUCH_FIELD"), nullptr);
    da.RecordSetNext(rs);
    da.RecordSetNext(rs);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(da.RecordSetFieldAsString(rs, kColumns[i]), full[static_cast<size_t>(i)]) << kColumns[i];
    da.RecordSetNext(rs);
    EXPECT_TRUE(da.RecordSetEof(rs));
    EXPECT_EQ(da.RecordSetFieldAsString(rs, "ID"), nullptr);
    da.RecordSetFirst(rs);
    EXPECT_STREQ(da.RecordSetFieldAsString(rs, "Id"), "2");
    da.FreeRecordSet(rs);

    EXPECT_EQ(column("SELECT * FROM PORT_SETTING WHERE ID = 'none'", "ID"), Strings {});
}

TEST_F(DataAccess, FieldAsIntegerAcceptsOnlyPlainDecimalIntegers)
{
    const struct {
        const char* text;
        bool ok;
        int value;
    } cases[] = {{"42", true, 42},     {"-7", true, -7},         {"+5", true, 5},        {"007", true, 7},
                 {"-2147483648", true, INT_MIN},       {"2147483647", true, 2147483647},
                 {"", false, 0},       {" 5", false, 0},         {"5 ", false, 0},       {"0x10", false, 0},
                 {"12abc", false, 0},  {"1.5", false, 0},        {"+", false, 0},        {"-", false, 0},
                 {"+-1", false, 0},    {"2147483648", false, 0}, {"one", false, 0}};
    for (const auto& c : cases) {
        ASSERT_EQ(insert("1", c.text), 1);
        QbRecordSet* rs = nullptr;
        ASSERT_TRUE(da.QueryRecords(conn, "SELECT DESCRIPTION AS Value FROM PORT_SETTING", &rs, true));
        bool ok = !c.ok;
        EXPECT_EQ(da.RecordSetFieldAsInteger(rs, "VALUE", &ok), c.value) << '"' << c.text << '"';
        EXPECT_EQ(ok, c.ok) << '"' << c.text << '"';
        ok = true;
        da.RecordSetFieldAsInteger(rs, "MISSING", &ok);
        EXPECT_FALSE(ok);
        da.FreeRecordSet(rs);
        ASSERT_EQ(da.DeleteRecords(conn, "PORT_SETTING", "ID = ID", true), 1);
    }
}

TEST_F(DataAccess, DeleteRemovesMatchingRowsAndRefusesAnythingButOneCondition)
{
    for (const char* id : {"1", "2", "3"})
        ASSERT_EQ(insert(id, std::string("Port ") + id), 1);
    EXPECT_EQ(da.DeleteRecords(conn, "PORT_SETTING", "ID = '2'", true), 1);
    EXPECT_EQ(descriptions(), (Strings {"Port 1", "Port 3"}));

    const struct {
        const char* table;
        const char* condition;
    } refused[] = {{"PORT_SETTING", ""},
                   {"PORT_SETTING", " ; "},
                   {"PORT_SETTING", nullptr},
                   {"PORT_SETTING", "ID = ID; DROP TABLE PORT_SETTING"},
                   {"PORT_SETTING WHERE 1=1 OR", "ID = ID"},
                   {"NO_TABLE", "ID = ID"},
                   {"PORT_SETTING", "NO_COLUMN = 1"}};
    for (const auto& r : refused) {
        EXPECT_LT(da.DeleteRecords(conn, r.table, r.condition, true), 0) << r.table << " / " << (r.condition ?: "null");
        EXPECT_STRNE(da.LastDBError(conn), "");
    }
    EXPECT_EQ(descriptions(), (Strings {"Port 1", "Port 3"}));
    EXPECT_EQ(da.DeleteRecords(conn, "PORT_SETTING", "ID = ID", true), 2);
    EXPECT_STREQ(da.LastDBError(conn), "");
    EXPECT_EQ(descriptions(), Strings {});
}

TEST_F(DataAccess, ValuesAreStoredAsTextNeverExecuted)
{
    const std::string hostile[] = {"x'); DROP TABLE PORT_SETTING; --", "Robert\"; DELETE FROM PORT_SETTING; --",
                                   "' OR '1'='1", "?1 ?2 :name @x $y"};
    for (const auto& text : hostile)
        ASSERT_EQ(insert("1", text), 1) << da.LastDBError(conn);
    EXPECT_EQ(descriptions(), (Strings(std::begin(hostile), std::end(hostile))));
}

TEST_F(DataAccess, InvalidIdentifiersAreRefusedBeforeAnythingRuns)
{
    const char* values[] = {"1", "x"};
    const char* badTables[] = {"PORT SETTING", "1PORT", "", "PORT_SETTING;", "\"PORT_SETTING\"", nullptr};
    for (const char* table : badTables)
        EXPECT_LT(da.InsertRecord(conn, table, kColumns, values, 2, true), 1) << (table ?: "null");
    // The last one would be valid SQL that inserts a row of its own if it
    // were put into the statement.
    const char* badColumns[][2] = {{"ID", "DESCRIPTION)"},
                                   {"ID", "A\"B"},
                                   {"ID", ""},
                                   {"ID", "DESCRIPTION\") SELECT ?, 'evil' || ? --"}};
    for (const auto& columns : badColumns) {
        EXPECT_LT(da.InsertRecord(conn, "PORT_SETTING", columns, values, 2, true), 1) << columns[1];
        EXPECT_STRNE(da.LastDBError(conn), "");
    }
    EXPECT_LT(da.InsertRecord(conn, "PORT_SETTING", kColumns, values, 0, true), 1);
    EXPECT_EQ(descriptions(), Strings {});
}

TEST_F(DataAccess, RollbackRestoresThePreviousRowsAndCommitKeepsTheNewOnes)
{
    ASSERT_EQ(insert("1", "old 1"), 1);
    ASSERT_EQ(insert("2", "old 2"), 1);
    EXPECT_FALSE(da.CommitTransaction(conn)); // none open
    EXPECT_FALSE(da.RollbackTransaction(conn));

    ASSERT_TRUE(da.BeginTransaction(conn));
    EXPECT_FALSE(da.BeginTransaction(conn)); // one at a time
    EXPECT_EQ(da.DeleteRecords(conn, "PORT_SETTING", "ID = ID", true), 2);
    ASSERT_EQ(insert("3", "new"), 1);
    ASSERT_TRUE(da.RollbackTransaction(conn));
    EXPECT_EQ(descriptions(), (Strings {"old 1", "old 2"}));

    ASSERT_TRUE(da.BeginTransaction(conn));
    ASSERT_EQ(insert("3", "new"), 1);
    ASSERT_TRUE(da.CommitTransaction(conn));
    da.DisconnectDB(conn, true);
    conn = da.ConnectDB(dir.file("LINVARO.GDB").c_str(), "SYSDBA", "", true, nullptr);
    EXPECT_EQ(descriptions(), (Strings {"old 1", "old 2", "new"}));
}

TEST_F(DataAccess, QueryRunsOneReadingStatementOnly)
{
    ASSERT_EQ(insert("1", "kept"), 1);
    const char* refused[] = {"DELETE FROM PORT_SETTING", "SELECT * FROM PORT_SETTING; DELETE FROM PORT_SETTING",
                             "SELEC * FROM PORT_SETTING", "SELECT * FROM NO_TABLE", "", nullptr};
    for (const char* sql : refused) {
        QbRecordSet* rs = reinterpret_cast<QbRecordSet*>(&conn); // must be reset
        EXPECT_FALSE(da.QueryRecords(conn, sql, &rs, true)) << (sql ?: "null");
        EXPECT_EQ(rs, nullptr);
    }
    EXPECT_EQ(descriptions(), Strings {"kept"});
}

TEST_F(DataAccess, HandlesFailCleanlyOnceDisconnectedAndRecordSetsOutliveTheirConnection)
{
    ASSERT_EQ(insert("1", "A"), 1);
    QbRecordSet* rs = nullptr;
    ASSERT_TRUE(da.QueryRecords(conn, "SELECT * FROM PORT_SETTING", &rs, true));
    const int second = da.ConnectDB(dir.file("LINVARO.GDB").c_str(), "SYSDBA", "", true, nullptr);
    EXPECT_GE(second, 1);
    EXPECT_NE(second, conn);
    da.DisconnectDB(second, true);

    da.DisconnectDB(conn, true);
    EXPECT_STREQ(da.RecordSetFieldAsString(rs, "DESCRIPTION"), "A");
    da.FreeRecordSet(rs);
    for (int stale : {conn, second, 0, -3}) {
        QbRecordSet* none = nullptr;
        EXPECT_FALSE(da.QueryRecords(stale, "SELECT 1", &none, true));
        const char* values[] = {"2", "B"};
        EXPECT_LT(da.InsertRecord(stale, "PORT_SETTING", kColumns, values, 2, true), 1);
        EXPECT_LT(da.DeleteRecords(stale, "PORT_SETTING", "ID = ID", true), 0);
        EXPECT_FALSE(da.ExecuteSQL(stale, "SELECT 1", true));
        EXPECT_FALSE(da.BeginTransaction(stale));
        EXPECT_STRNE(da.LastDBError(stale), "");
        da.DisconnectDB(stale, true);
    }
    // Nothing was written through the stale handle.
    conn = da.ConnectDB(dir.file("LINVARO.GDB").c_str(), "SYSDBA", "", true, nullptr);
    EXPECT_EQ(descriptions(), Strings {"A"});
}

TEST_F(DataAccess, ConnectCreatesAMissingFileAndRefusesWhatIsNotADatabase)
{
    const std::string created = dir.file("new.db");
    const int c = da.ConnectDB(created.c_str(), "SYSDBA", "", true, nullptr);
    EXPECT_GE(c, 1);
    da.DisconnectDB(c, true);
    EXPECT_TRUE(std::filesystem::exists(created));

    writeFile(dir.file("garbage.db"), std::string(4096, '\x5a'));
    for (const std::string& path : {dir.file("garbage.db"), dir.file("no/such/folder.db"), dir.path(), std::string()})
        EXPECT_EQ(da.ConnectDB(path.c_str(), "SYSDBA", "", true, nullptr), 0) << path;
}

TEST_F(DataAccess, ThreadsMayShareOneConnection)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 50; ++i)
                EXPECT_EQ(insert(std::to_string(t * 100 + i), "x"), 1);
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(da.DeleteRecords(conn, "PORT_SETTING", "ID = ID", true), 200);
}

// Tables provisioned with the sqlite3 tool: integer columns declared REAL or
// NUMERIC give 1.0 back, and columns left out of an INSERT are NULL.
TEST_F(DataAccess, WholeNumbersOfAnyStorageClassAreIntegersAndNullIsZero)
{
    ASSERT_TRUE(da.ExecuteSQL(conn, "CREATE TABLE T (V REAL, N NUMERIC, X)", true));
    const struct {
        const char* value; // SQL literal
        bool ok;
        int expected;
    } cases[] = {{"1.0", true, 1}, {"13.0", true, 13}, {"'1'", true, 1},   {"'1.0'", true, 1}, {"NULL", true, 0},
                 {"-4.0", true, -4}, {"1.5", false, 0}, {"''", false, 0}, {"'x'", false, 0}, {"1e300", false, 0}};
    for (const auto& c : cases) {
        const std::string sql = std::string("INSERT INTO T VALUES (") + c.value + ", " + c.value + ", " + c.value + ")";
        ASSERT_TRUE(da.ExecuteSQL(conn, sql.c_str(), true)) << da.LastDBError(conn);
        QbRecordSet* rs = nullptr;
        ASSERT_TRUE(da.QueryRecords(conn, "SELECT * FROM T", &rs, true));
        for (const char* field : {"V", "N", "X"}) {
            bool ok = !c.ok;
            EXPECT_EQ(da.RecordSetFieldAsInteger(rs, field, &ok), c.expected) << c.value << " in " << field;
            EXPECT_EQ(ok, c.ok) << c.value << " in " << field;
        }
        da.FreeRecordSet(rs);
        ASSERT_TRUE(da.ExecuteSQL(conn, "DELETE FROM T", true));
    }
}

TEST_F(DataAccess, ValuesHoldingNulAreStoredAndReadWhole)
{
    const std::string suffix("#\0\r\0", 4);
    const char* columns[] = {"ID", "AUTO_SUFFIX"};
    const char* values[] = {"1", suffix.data()};
    const int lengths[] = {-1, static_cast<int>(suffix.size())};
    ASSERT_EQ(da.InsertRecordN(conn, "PORT_SETTING", columns, values, lengths, 2, true), 1);
    QbRecordSet* rs = nullptr;
    ASSERT_TRUE(da.QueryRecords(conn, "SELECT ID, AUTO_SUFFIX FROM PORT_SETTING", &rs, true));
    EXPECT_EQ(da.RecordSetFieldLength(rs, "AUTO_SUFFIX"), 4);
    EXPECT_EQ(std::string(da.RecordSetFieldAsString(rs, "AUTO_SUFFIX"), 4), suffix);
    EXPECT_EQ(da.RecordSetFieldLength(rs, "ID"), 1);
    EXPECT_EQ(da.RecordSetFieldLength(rs, "MISSING"), -1);
    da.FreeRecordSet(rs);
}

// A configuration file made to hang the program: a view that never ends, a
// view with giant values, a trigger that inserts for ever.
TEST_F(DataAccess, RunawayStatementsEndWithAnErrorWithinTheirBound)
{
    ASSERT_TRUE(da.ExecuteSQL(conn,
                              "CREATE VIEW ENDLESS AS WITH RECURSIVE R(N) AS (SELECT 1 UNION ALL SELECT N + 1 FROM R) "
                              "SELECT max(N) AS N FROM R",
                              true));
    ASSERT_TRUE(da.ExecuteSQL(conn, "CREATE VIEW HUGE AS SELECT zeroblob(200000000) AS V", true));
    ASSERT_TRUE(da.ExecuteSQL(conn, "PRAGMA recursive_triggers = ON", true));
    ASSERT_TRUE(da.ExecuteSQL(conn, "CREATE TABLE LOOP (N INTEGER)", true));
    ASSERT_TRUE(da.ExecuteSQL(conn,
                              "CREATE TRIGGER AGAIN AFTER INSERT ON LOOP BEGIN INSERT INTO LOOP VALUES (NEW.N + 1); END",
                              true));
    QbRecordSet* rs = nullptr;
    EXPECT_FALSE(da.QueryRecords(conn, "SELECT * FROM HUGE", &rs, true));
    EXPECT_EQ(rs, nullptr);
    EXPECT_NE(std::string(da.LastDBError(conn)), "");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(da.QueryRecords(conn, "SELECT * FROM ENDLESS", &rs, true));
    EXPECT_NE(std::string(da.LastDBError(conn)).find("ran longer than"), std::string::npos) << da.LastDBError(conn);
    EXPECT_FALSE(da.ExecuteSQL(conn, "INSERT INTO LOOP VALUES (1)", true));
    // Each ends at its 10 s bound (generous margin for a loaded machine).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    // The connection still works afterwards.
    EXPECT_EQ(insert("1", "after"), 1);
}

// A termination signal while the start-up is inside the database: the
// statement ends at once. Run in a child process, as the abort is for good.
TEST_F(DataAccess, AbortEndsARunningStatementAtOnce)
{
    ASSERT_TRUE(da.ExecuteSQL(conn,
                              "CREATE VIEW ENDLESS AS WITH RECURSIVE R(N) AS (SELECT 1 UNION ALL SELECT N + 1 FROM R) "
                              "SELECT max(N) AS N FROM R",
                              true));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::thread signal([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                da.AbortAllDB();
            });
            const auto start = std::chrono::steady_clock::now();
            QbRecordSet* rs = nullptr;
            const bool ok = da.QueryRecords(conn, "SELECT * FROM ENDLESS", &rs, true);
            const auto took = std::chrono::steady_clock::now() - start;
            signal.join();
            const bool refusedAfter = da.ConnectDB(dir.file("other.db").c_str(), "", "", true, nullptr) == 0;
            std::exit(!ok && took < std::chrono::seconds(5) && refusedAfter ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
