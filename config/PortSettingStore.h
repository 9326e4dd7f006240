#pragma once
// Port settings in the configuration database: the table PORT_SETTING, read
// into the port grid at every settings load and rewritten whole by Save.
// Everything goes through the data-access support library.
//
// Ownership: every record set obtained here is freed before the call
// returns, on every path. Save leaves no transaction open behind it.
// Threads: main thread (the grid is a main-thread object).
#include "CommObjList.h"
#include "PortGrid.h"
#include "SupportLibraries.h"

#include <functional>
#include <string>
#include <vector>

// Creates PORT_SETTING when it is missing (ID and the integer fields as
// INTEGER, the others as TEXT). An existing table is accepted whatever its
// declared types, as long as it has all 20 columns, so operators may
// provision it themselves. False with error set when the connection is not
// valid, the table cannot be created, or columns are missing (all of them
// named in error).
bool EnsurePortSettingTable(const support::DataAccessApi& da, int conn, std::string& error);

struct PortSettingLoad {
    // The rows that are link candidates, in grid order: every loaded row
    // whose fields the link can use, disabled ones included (the link list
    // skips those when it builds the links).
    std::vector<TCommObjList::GridRow> rows;
    // One text per problem, for the activity log and standard error.
    std::vector<std::string> problems;
    // False when the table could not be read; the grid is then unchanged.
    bool ok = false;
};

// Reads PORT_SETTING ordered by DESCRIPTION into grid rows 1.., fills the
// "OPC Tag Name" column, empties "Current Tag Value", and leaves the grid
// holding exactly the loaded rows (RowCount 2 with an empty row 1 when there
// are none). A record with a Baud Rate or an integer field that does not
// hold a decimal integer is shown as stored and reported, and gets no link;
// the following records load as usual.
PortSettingLoad LoadPortSettings(const support::DataAccessApi& da, int conn, TPortGrid& grid);

using ShowMsgFn = std::function<int(const std::string& text, int kind, int buttons)>;

// Rewrites PORT_SETTING from the grid rows whose Description is not empty,
// all in one transaction: on any failure the table keeps exactly its
// previous rows, "Error saving Port Settings!" is shown and the result is
// false; on success "Port Settings saved!" is shown.
bool SavePortSettings(const support::DataAccessApi& da, int conn, const TPortGrid& grid, const ShowMsgFn& showMsg);
