#pragma once
// The port grid's model: the working copy of every Port setting. Row 0 holds
// the 22 column titles; rows 1..RowCount-1 hold Port settings, one per row,
// in the 20 field columns, plus "OPC Tag Name" (20) and "Current Tag Value"
// (21). A grid with no Port setting has RowCount 2 and an empty row 1. A row
// whose "No." cell is empty is an empty row.
//
// The window's table widget mirrors this model (signals below); the
// controller and the tests work on the model alone. Main thread only.
#include "PortSettingRecord.h"

#include <QObject>

#include <string>
#include <vector>

class TPortGrid : public QObject {
    Q_OBJECT
public:
    static constexpr int kColumnCount = psFieldCount + 2;
    static constexpr int kTagNameColumn = psFieldCount;
    static constexpr int kCurrentValueColumn = psFieldCount + 1;

    explicit TPortGrid(QObject* parent = nullptr);

    int RowCount() const { return static_cast<int>(rows_.size()); }
    // At least 2 rows remain; new rows are empty.
    void SetRowCount(int count);
    void AddRow(); // an empty row at the end
    void RemoveRow(int row); // rows >= 1; the grid keeps at least 2 rows

    // Out-of-range cells read as "" and ignore writes.
    const std::string& Cell(int column, int row) const;
    void SetCell(int column, int row, const std::string& text);
    bool RowIsEmpty(int row) const { return Cell(psID, row).empty(); }
    void ClearRow(int row);

    // The 20 fields of a row, and writing them back (other columns untouched).
    TPortSetting RowSetting(int row) const;
    void SetRowSetting(int row, const TPortSetting& setting);

signals:
    void cellChanged(int column, int row);
    void rowsChanged(); // row count or row order changed

private:
    std::vector<std::vector<std::string>> rows_;
};
