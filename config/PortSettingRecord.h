#pragma once
// The Port setting record: the configuration of one serial port, 20 fields in
// the column order of the PORT_SETTING table and of the port grid. Fields are
// kept as the texts the grid holds; numbers and booleans travel as decimal
// text, and a boolean is on only when it is exactly "1".
#include <array>
#include <optional>
#include <string>
#include <string_view>

enum PortSettingField : int {
    psID, psDESCRIPTION, psPORT, psBAUD_RATE, psDATA_BITS, psPARITY, psSTOP_BITS, psFLOW_CONTROL,
    psRECEIVED_STRING_TAG, psRECEIVED_FLAG_TAG, psSENT_STRING_TAG, psSENT_FLAG_TAG, psDISABLED,
    psNULL_TERMINATED, psFROM_SUBSTRING, psCONVERT_HEX, psAUTO_SEND_STRING, psAUTO_SEND_INTERVAL,
    psLOGGED, psAUTO_SUFFIX,
    psFieldCount
};

// Column names of PORT_SETTING, in field order.
extern const std::array<const char*, psFieldCount> kPortSettingColumns;
// Grid titles: the 20 fields, then "OPC Tag Name" and "Current Tag Value".
extern const std::array<const char*, psFieldCount + 2> kPortGridTitles;
// Whether a column is read back from the table as an integer (else as text).
bool PortSettingReadAsInteger(PortSettingField f);

struct TPortSetting {
    std::array<std::string, psFieldCount> fields;

    const std::string& operator[](PortSettingField f) const { return fields[f]; }
    std::string& operator[](PortSettingField f) { return fields[f]; }

    bool disabled() const { return fields[psDISABLED] == "1"; }
    bool convertHex() const { return fields[psCONVERT_HEX] == "1"; }
    bool logged() const { return fields[psLOGGED] == "1"; }
    // DESCRIPTION + "_" + PORT, e.g. Scale_COM3.
    std::string tagName() const { return fields[psDESCRIPTION] + "_" + fields[psPORT]; }
};

// The "Log Activities" file of a port: <folder><PORT>.log, a port given as a
// device path kept in the folder ("/dev/ttyUSB0" gives _dev_ttyUSB0.log).
std::string PortLogFilePath(const std::string& folder, const std::string& port);

// Decimal integer text (optional sign, no blanks), as the grid and the table
// carry numbers; nullopt for anything else, including out-of-range values.
std::optional<int> ParseDecimal(std::string_view text);

// Allowed texts of the serial fields (exact, case-sensitive).
inline constexpr std::array<const char*, 13> kBaudRateTexts = {
    "110", "300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200",
    "128000", "256000"};
inline constexpr std::array<const char*, 4> kDataBitsTexts = {"5", "6", "7", "8"};
inline constexpr std::array<const char*, 5> kParityTexts = {"Even", "Odd", "None", "Mark", "Space"};
inline constexpr std::array<const char*, 3> kStopBitsTexts = {"1", "1.5", "2"};
inline constexpr std::array<const char*, 2> kFlowControlTexts = {"None", "Xon / Xoff"};
