#include "PortGrid.h"

#include <algorithm>

TPortGrid::TPortGrid(QObject* parent) : QObject(parent)
{
    rows_.assign(2, std::vector<std::string>(kColumnCount));
    for (int c = 0; c < kColumnCount; ++c)
        rows_[0][static_cast<std::size_t>(c)] = kPortGridTitles[static_cast<std::size_t>(c)];
}

void TPortGrid::SetRowCount(int count)
{
    count = std::max(count, 2);
    if (count == RowCount())
        return;
    rows_.resize(static_cast<std::size_t>(count), std::vector<std::string>(kColumnCount));
    emit rowsChanged();
}

void TPortGrid::AddRow()
{
    rows_.emplace_back(kColumnCount);
    emit rowsChanged();
}

void TPortGrid::RemoveRow(int row)
{
    if (row < 1 || row >= RowCount())
        return;
    rows_.erase(rows_.begin() + row);
    if (rows_.size() < 2)
        rows_.emplace_back(kColumnCount);
    emit rowsChanged();
}

const std::string& TPortGrid::Cell(int column, int row) const
{
    static const std::string empty;
    if (row < 0 || row >= RowCount() || column < 0 || column >= kColumnCount)
        return empty;
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

void TPortGrid::SetCell(int column, int row, const std::string& text)
{
    if (row < 0 || row >= RowCount() || column < 0 || column >= kColumnCount)
        return;
    auto& cell = rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
    if (cell == text)
        return;
    cell = text;
    emit cellChanged(column, row);
}

void TPortGrid::ClearRow(int row)
{
    for (int c = 0; c < kColumnCount; ++c)
        SetCell(c, row, std::string());
}

TPortSetting TPortGrid::RowSetting(int row) const
{
    TPortSetting s;
    for (int c = 0; c < psFieldCount; ++c)
        s.fields[static_cast<std::size_t>(c)] = Cell(c, row);
    return s;
}

void TPortGrid::SetRowSetting(int row, const TPortSetting& setting)
{
    for (int c = 0; c < psFieldCount; ++c)
        SetCell(c, row, setting.fields[static_cast<std::size_t>(c)]);
}
