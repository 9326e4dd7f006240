#include "PortSettingRecord.h"

#include <algorithm>
#include <charconv>

const std::array<const char*, psFieldCount> kPortSettingColumns = {
    "ID", "DESCRIPTION", "PORT", "BAUD_RATE", "DATA_BITS", "PARITY", "STOP_BITS", "FLOW_CONTROL",
    "RECEIVED_STRING_TAG", "RECEIVED_FLAG_TAG", "SENT_STRING_TAG", "SENT_FLAG_TAG", "DISABLED",
    "NULL_TERMINATED", "FROM_SUBSTRING", "CONVERT_HEX", "AUTO_SEND_STRING", "AUTO_SEND_INTERVAL",
    "LOGGED", "AUTO_SUFFIX"};

const std::array<const char*, psFieldCount + 2> kPortGridTitles = {
    "No.", "Description", "Port", "Baud Rate", "Data Bits", "Parity", "Stop Bits", "Flow Control",
    "Received String Tag", "Received Flag Tag", "Sent String Tag", "Sent Flag Tag", "Disabled",
    "Incoming String Terminating Char", "Extract Sub-string starting from", "Convert to HEX",
    "Auto-Send", "Auto-Send Interval", "Log Activities", "Auto-Suffix", "OPC Tag Name",
    "Current Tag Value"};

bool PortSettingReadAsInteger(PortSettingField f)
{
    switch (f) {
    case psID:
    case psDISABLED:
    case psNULL_TERMINATED:
    case psCONVERT_HEX:
    case psAUTO_SEND_INTERVAL:
    case psLOGGED:
        return true;
    default:
        return false;
    }
}

std::optional<int> ParseDecimal(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::string_view digits = text;
    if (digits.front() == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits.front() == '-')
            return std::nullopt;
    }
    int value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty())
        return std::nullopt;
    return value;
}


std::string PortLogFilePath(const std::string& folder, const std::string& port)
{
    std::string name = port;
    std::replace(name.begin(), name.end(), '/', '_');
    return folder + name + ".log";
}
