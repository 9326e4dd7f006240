#pragma once
// A window stand-in for benchmarks: log lines go to a real activity log (memo
// and time stamps, as in the program), grid updates are counted per link.
#include "ActivityLog.h"
#include "LinkHost.h"

#include <string>
#include <vector>

class BenchHost : public LinkHost {
public:
    void Log(const std::string& message) override { log.Log(message); }
    int ShowMsg(const std::string& text, int, int) override
    {
        boxes.push_back(text);
        return 1;
    }
    void ProcessMessages() override {}
    void ShowTagValue(int linkIndex, const std::string& text) override
    {
        if (static_cast<std::size_t>(linkIndex) >= shown.size())
            shown.resize(static_cast<std::size_t>(linkIndex) + 1);
        shown[static_cast<std::size_t>(linkIndex)].push_back(text);
    }
    void ScanningChanged(bool) override {}
    bool SettingsModified() override { return false; }
    void SaveSettings() override {}
    void ReloadSettings() override {}

    ActivityLog log;
    std::vector<std::string> boxes;
    std::vector<std::vector<std::string>> shown;
};
