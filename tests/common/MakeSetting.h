#pragma once
// A Port setting as the link tests and the fuzz target use it: 9600 8N1, no
// flow control, enabled, no hex conversion, not logged.
#include "PortSettingRecord.h"

#include <string>

inline TPortSetting MakeSetting(const std::string& description, const std::string& port, const std::string& terminator = "13")
{
    TPortSetting s;
    s[psID] = "1";
    s[psDESCRIPTION] = description;
    s[psPORT] = port;
    s[psBAUD_RATE] = "9600";
    s[psDATA_BITS] = "8";
    s[psPARITY] = "None";
    s[psSTOP_BITS] = "1";
    s[psFLOW_CONTROL] = "None";
    s[psDISABLED] = "0";
    s[psNULL_TERMINATED] = terminator;
    s[psCONVERT_HEX] = "0";
    s[psAUTO_SEND_INTERVAL] = "100";
    s[psLOGGED] = "0";
    return s;
}
