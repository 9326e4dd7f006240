#include "PortListCommands.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

// A grid with `count` Port settings on COM1..COMn, each with its tag name and
// a current value, as the settings load leaves it.
void Fill(TPortGrid& grid, int count)
{
    grid.SetRowCount(count + 1);
    for (int row = 1; row <= count; ++row) {
        const std::string n = std::to_string(row);
        grid.SetCell(psID, row, n);
        grid.SetCell(psDESCRIPTION, row, "Dev" + n);
        grid.SetCell(psPORT, row, "COM" + n);
        grid.SetCell(TPortGrid::kTagNameColumn, row, "Dev" + n + "_COM" + n);
        grid.SetCell(TPortGrid::kCurrentValueColumn, row, "value" + n);
    }
}

std::vector<std::string> Column(const TPortGrid& grid, int column)
{
    std::vector<std::string> cells;
    for (int row = 1; row < grid.RowCount(); ++row)
        cells.push_back(grid.Cell(column, row));
    return cells;
}

TPortSetting Entered(const std::string& description, const std::string& port)
{
    TPortSetting s;
    s[psID] = "99"; // must not reach the grid
    s[psDESCRIPTION] = description;
    s[psPORT] = port;
    s[psNULL_TERMINATED] = "-1";
    s[psAUTO_SUFFIX] = "\r\n";
    return s;
}

// An editor that records what it was asked and answers as told.
struct ScriptedEditor {
    bool accept = true;
    TPortSetting answer = Entered("Scale", "COM9");
    std::vector<int> rows;

    TPortSettingEditor fn()
    {
        return [this](const TPortGrid&, int row, TPortSetting& entered) {
            rows.push_back(row);
            if (accept)
                entered = answer;
            return accept;
        };
    }
};

struct NewCase {
    int settings;      // Port settings already in the grid
    int expectedRow;   // row that takes the new setting
};

class PortListNewTest : public ::testing::TestWithParam<NewCase> {};

TEST_P(PortListNewTest, AppendsAfterTheLastSettingNumberedByRowCount)
{
    TPortGrid grid;
    Fill(grid, GetParam().settings);
    ScriptedEditor editor;

    ASSERT_TRUE(PortListNew(grid, editor.fn()));

    const int row = GetParam().expectedRow;
    EXPECT_EQ(editor.rows, std::vector<int>{0});
    EXPECT_EQ(grid.RowCount(), row + 1);
    EXPECT_EQ(grid.Cell(psID, row), std::to_string(row));
    EXPECT_EQ(grid.Cell(psDESCRIPTION, row), "Scale");
    EXPECT_EQ(grid.Cell(psPORT, row), "COM9");
    EXPECT_EQ(grid.Cell(psAUTO_SUFFIX, row), "\r\n");
    EXPECT_EQ(grid.Cell(TPortGrid::kTagNameColumn, row), ""); // filled by the next load
    for (int r = 1; r < row; ++r)
        EXPECT_EQ(grid.Cell(psID, r), std::to_string(r));
}

INSTANTIATE_TEST_SUITE_P(Grids, PortListNewTest,
                         ::testing::Values(NewCase{0, 1}, NewCase{1, 2}, NewCase{3, 4}));

TEST(PortListNew, CancelLeavesTheGridAlone)
{
    for (int settings : {0, 1, 3}) {
        TPortGrid grid;
        Fill(grid, settings);
        ScriptedEditor editor;
        editor.accept = false;
        EXPECT_FALSE(PortListNew(grid, editor.fn()));
        EXPECT_EQ(grid.RowCount(), std::max(settings + 1, 2));
        EXPECT_EQ(Column(grid, psDESCRIPTION).back(), settings ? "Dev" + std::to_string(settings) : "");
    }
}

TEST(PortListEdit, WritesTheFieldsBackKeepingNumberAndDisplayColumns)
{
    TPortGrid grid;
    Fill(grid, 3);
    ScriptedEditor editor;

    ASSERT_TRUE(PortListEdit(grid, 2, editor.fn()));

    EXPECT_EQ(editor.rows, std::vector<int>{2});
    EXPECT_EQ(grid.RowCount(), 4);
    EXPECT_EQ(Column(grid, psID), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(Column(grid, psDESCRIPTION), (std::vector<std::string>{"Dev1", "Scale", "Dev3"}));
    EXPECT_EQ(grid.Cell(TPortGrid::kTagNameColumn, 2), "Dev2_COM2");
    EXPECT_EQ(grid.Cell(TPortGrid::kCurrentValueColumn, 2), "value2");
}

TEST(PortListEdit, RefusesRowsWithoutSettingAndHonoursCancel)
{
    TPortGrid empty;
    ScriptedEditor editor;
    EXPECT_FALSE(PortListEdit(empty, 1, editor.fn())); // the empty row of an empty grid

    TPortGrid grid;
    Fill(grid, 1);
    EXPECT_FALSE(PortListEdit(grid, 0, editor.fn()));  // the title row
    EXPECT_FALSE(PortListEdit(grid, 2, editor.fn()));  // past the last row
    EXPECT_FALSE(PortListEdit(grid, -1, editor.fn())); // nothing selected
    EXPECT_TRUE(editor.rows.empty());

    editor.accept = false;
    EXPECT_FALSE(PortListEdit(grid, 1, editor.fn()));
    EXPECT_EQ(editor.rows, std::vector<int>{1});
    EXPECT_EQ(grid.Cell(psDESCRIPTION, 1), "Dev1");
}

struct Question {
    std::string text;
    int kind;
    int buttons;
};

TShowMsgFn Answering(int answer, std::vector<Question>& asked)
{
    return [answer, &asked](const std::string& text, int kind, int buttons) {
        asked.push_back({text, kind, buttons});
        return answer;
    };
}

TEST(PortListDelete, AsksForThePortAndActsOnlyOnYes)
{
    for (int answer : {1, 2, 7}) { // OK, Cancel, No
        TPortGrid grid;
        Fill(grid, 3);
        std::vector<Question> asked;
        EXPECT_FALSE(PortListDelete(grid, 2, Answering(answer, asked)));
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].text, "Are you sure to delete Port Setting for COM2?");
        EXPECT_EQ(asked[0].kind, 3);
        EXPECT_EQ(asked[0].buttons, 1 | 8);
        EXPECT_EQ(Column(grid, psPORT), (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    }
}

TEST(PortListDelete, TheOnlySettingLeavesOneEmptyRow)
{
    TPortGrid grid;
    Fill(grid, 1);
    std::vector<Question> asked;
    ASSERT_TRUE(PortListDelete(grid, 1, Answering(6, asked)));
    EXPECT_EQ(grid.RowCount(), 2);
    for (int c = 0; c < TPortGrid::kColumnCount; ++c)
        EXPECT_EQ(grid.Cell(c, 1), "") << "column " << c;
    EXPECT_EQ(grid.Cell(psID, 0), "No."); // titles stay
}

TEST(PortListDelete, RemovesTheRowAndRenumbersTheRest)
{
    struct Case {
        int selected;
        std::vector<std::string> ports;
    };
    for (const Case& c : {Case{2, {"COM1", "COM3"}}, Case{1, {"COM2", "COM3"}}, Case{3, {"COM1", "COM2"}}}) {
        TPortGrid grid;
        Fill(grid, 3);
        std::vector<Question> asked;
        ASSERT_TRUE(PortListDelete(grid, c.selected, Answering(6, asked)));
        EXPECT_EQ(grid.RowCount(), 3);
        EXPECT_EQ(Column(grid, psPORT), c.ports) << "deleting row " << c.selected;
        EXPECT_EQ(Column(grid, psID), (std::vector<std::string>{"1", "2"}));
    }
}

TEST(PortListDelete, RenumbersOnlyRowsThatHoldASetting)
{
    TPortGrid grid;
    Fill(grid, 3);
    grid.AddRow(); // row 4: no "No."
    grid.SetCell(psPORT, 4, "COM7");
    std::vector<Question> asked;
    ASSERT_TRUE(PortListDelete(grid, 1, Answering(6, asked)));
    EXPECT_EQ(Column(grid, psID), (std::vector<std::string>{"1", "2", ""}));
}

TEST(PortListDelete, RowsOutsideTheGridAreNotAskedAbout)
{
    TPortGrid grid;
    Fill(grid, 1);
    std::vector<Question> asked;
    EXPECT_FALSE(PortListDelete(grid, 0, Answering(6, asked)));
    EXPECT_FALSE(PortListDelete(grid, 2, Answering(6, asked)));
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(grid.Cell(psPORT, 1), "COM1");
}

} // namespace
