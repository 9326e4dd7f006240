#pragma once
// A LinkHost that records what the link engine asks of the window.
#include "LinkHost.h"

#include <deque>
#include <map>
#include <utility>
#include <string>
#include <vector>

class RecordingHost : public LinkHost {
public:
    struct Box {
        std::string text;
        int kind;
        int buttons;
    };

    void Log(const std::string& message) override
    {
        log.push_back(message);
        events.push_back("log:" + message);
    }
    int ShowMsg(const std::string& text, int kind, int buttons) override
    {
        boxes.push_back({text, kind, buttons});
        events.push_back("box:" + text);
        if (!answers.empty()) {
            int a = answers.front();
            answers.pop_front();
            return a;
        }
        return 1;
    }
    void ProcessMessages() override { events.push_back("process"); }
    void ShowTagValue(int linkIndex, const std::string& text) override
    {
        shown[linkIndex] = text;
        shownHistory.emplace_back(linkIndex, text);
        ++showCount;
    }
    void ScanningChanged(bool started) override
    {
        scanning = started;
        events.push_back(started ? "scanning:on" : "scanning:off");
    }
    bool SettingsModified() override { return modified; }
    void SaveSettings() override
    {
        events.push_back("save");
        modified = false;
    }
    void ReloadSettings() override
    {
        events.push_back("reload");
        modified = false;
    }

    bool LogContains(const std::string& s) const
    {
        for (const auto& l : log)
            if (l == s)
                return true;
        return false;
    }

    std::vector<std::string> log;
    std::vector<Box> boxes;
    std::vector<std::string> events;
    std::deque<int> answers;
    std::map<int, std::string> shown;
    std::vector<std::pair<int, std::string>> shownHistory;
    int showCount = 0;
    bool scanning = false;
    bool modified = false;
};
