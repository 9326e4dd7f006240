#pragma once
// The port list commands "New", "Edit" and "Delete" over the port grid. The
// main window and headless mode share them; how a setting is entered (the
// Port Setting dialog, a script) is handed in as an editor, and questions go
// through a ShowMsg function. Each command returns true when it changed the
// grid, and the caller then sets its settings-modified flag. Main thread only.
#include "PortGrid.h"

#include <functional>
#include <string>

// A message box: kind 0 warning, 1 error, 2 information, 3 confirmation;
// buttons a bit set of 1 Yes, 2 No, 4 OK, 8 Cancel; returns the pressed
// button, 6 for Yes.
using TShowMsgFn = std::function<int(const std::string& text, int kind, int buttons)>;

// Lets the user enter one Port setting. `row` is the grid row being edited, or
// 0 for a new setting (then nothing is filled in). Returns true on OK with
// `entered` holding the fields as entered; its ID is not used.
using TPortSettingEditor =
    std::function<bool(const TPortGrid& grid, int row, TPortSetting& entered)>;

// Writes the fields DESCRIPTION..AUTO_SUFFIX of `setting` into a grid row.
// "No.", "OPC Tag Name" and "Current Tag Value" are left as they are: the tag
// name follows at the next settings load.
void StorePortSettingFields(TPortGrid& grid, int row, const TPortSetting& setting);

// New: on OK the setting goes into the empty row 1 of an empty grid, else
// into a row added at the end; its "No." is its row index.
bool PortListNew(TPortGrid& grid, const TPortSettingEditor& editor);

// Edit: refused (false, editor not called) for a row outside the settings or
// a row without "No." such as the empty row of an empty grid. On OK the row
// takes the entered fields and keeps its "No.".
bool PortListEdit(TPortGrid& grid, int selectedRow, const TPortSettingEditor& editor);

// Delete: asks "Are you sure to delete Port Setting for <port>?" (Yes,
// Cancel); only Yes acts. The only setting of the grid is emptied in place,
// keeping the grid's two rows; otherwise the row is removed and the rows that
// hold a setting are numbered 1, 2, 3, ... again. Returns true when
// confirmed. A row outside the grid's setting rows is refused without a
// question.
bool PortListDelete(TPortGrid& grid, int selectedRow, const TShowMsgFn& showMsg);
