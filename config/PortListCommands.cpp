#include "PortListCommands.h"

namespace {
constexpr int kMsgConfirmation = 3;
constexpr int kBtnYes = 1;
constexpr int kBtnCancel = 8;
constexpr int kAnswerYes = 6;

bool IsSettingRow(const TPortGrid& grid, int row)
{
    return row >= 1 && row < grid.RowCount();
}
} // namespace

void StorePortSettingFields(TPortGrid& grid, int row, const TPortSetting& setting)
{
    for (int c = psDESCRIPTION; c < psFieldCount; ++c)
        grid.SetCell(c, row, setting.fields[static_cast<std::size_t>(c)]);
}

bool PortListNew(TPortGrid& grid, const TPortSettingEditor& editor)
{
    TPortSetting entered;
    if (!editor || !editor(grid, 0, entered))
        return false;
    // An empty grid shows one empty row; the first setting takes it.
    if (grid.RowCount() > 2 || !grid.RowIsEmpty(1))
        grid.AddRow();
    const int target = grid.RowCount() - 1;
    grid.SetCell(psID, target, std::to_string(grid.RowCount() - 1));
    StorePortSettingFields(grid, target, entered);
    return true;
}

bool PortListEdit(TPortGrid& grid, int selectedRow, const TPortSettingEditor& editor)
{
    if (!editor || !IsSettingRow(grid, selectedRow) || grid.RowIsEmpty(selectedRow))
        return false;
    TPortSetting entered;
    if (!editor(grid, selectedRow, entered))
        return false;
    StorePortSettingFields(grid, selectedRow, entered);
    return true;
}

bool PortListDelete(TPortGrid& grid, int selectedRow, const TShowMsgFn& showMsg)
{
    if (!showMsg || !IsSettingRow(grid, selectedRow))
        return false;
    const std::string question =
        "Are you sure to delete Port Setting for " + grid.Cell(psPORT, selectedRow) + "?";
    if (showMsg(question, kMsgConfirmation, kBtnYes | kBtnCancel) != kAnswerYes)
        return false;
    if (grid.RowCount() < 3) {
        grid.ClearRow(1);
        return true;
    }
    grid.RemoveRow(selectedRow);
    for (int row = 1; row < grid.RowCount(); ++row) {
        if (!grid.RowIsEmpty(row))
            grid.SetCell(psID, row, std::to_string(row));
    }
    return true;
}
