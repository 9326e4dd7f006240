#pragma once
// A controller on a temporary program folder with the real support libraries
// (SQLite database, INI file, encryption) and a scripted message box.
#include "MainController.h"
#include "PtyPair.h"
#include "TestWait.h"

#include "DynamicLibrary.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

class ScriptedBoxes {
public:
    struct Box {
        std::string text;
        int kind;
        int buttons;
    };
    static int Answer(const char* text, int kind, int buttons, void* self)
    {
        auto* me = static_cast<ScriptedBoxes*>(self);
        me->shown.push_back({text, kind, buttons});
        if (me->answers.empty())
            return (buttons & 4) ? 1 : (buttons & 2) ? 7 : 2; // the non-Yes choice
        const int a = me->answers.front();
        me->answers.pop_front();
        return a;
    }
    bool Shown(const std::string& text) const
    {
        for (const auto& b : shown)
            if (b.text == text)
                return true;
        return false;
    }
    std::vector<Box> shown;
    std::deque<int> answers;
};

class ControllerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
        qputenv("XDG_STATE_HOME", (home.path() + "/state").toUtf8());
        ASSERT_TRUE(libs.load(ProgramFolder(), [](const std::string& m) { FAIL() << m; }));
        libs.gn.SetMsgHandler(&ScriptedBoxes::Answer, &boxes);
        TCommPortDriver::SetDeviceNameResolver([this](const std::string& com) -> std::string {
            for (int i = 0; i < 2; ++i)
                if (com == "COM" + std::to_string(i + 1))
                    return ptys[i].slavePath();
            return {};
        });
    }
    void TearDown() override
    {
        controller.reset();
        libs.gn.SetMsgHandler(nullptr, nullptr);
        TCommPortDriver::SetDeviceNameResolver(nullptr);
    }
    std::string Folder() const { return home.path().toStdString() + "/"; }
    // retryMs/intervalMs: how long and how often the start-up tries a
    // database that cannot be opened.
    MainController& Make(bool headless = true, int retryMs = 30000, int intervalMs = 2000)
    {
        MainController::Options o;
        o.programFolder = Folder();
        o.programPath = Folder() + "linvaro";
        o.headless = headless;
        o.databaseRetryMs = retryMs;
        o.databaseRetryIntervalMs = intervalMs;
        controller = std::make_unique<MainController>(o, libs, remote);
        return *controller;
    }
    std::vector<std::string> Log() const
    {
        std::vector<std::string> v;
        for (const QString& l : controller->Activity().Lines())
            v.push_back(l.mid(20).toStdString()); // drop "yyyy-mm-dd hh:nn:ss "
        return v;
    }
    bool Logged(const std::string& line) const
    {
        for (const auto& l : Log())
            if (l == line)
                return true;
        return false;
    }
    // Fills grid row `row` as the Port Setting dialog would.
    void PutRow(int row, const std::string& id, const std::string& description, const std::string& port,
                const std::string& disabled = "0")
    {
        TPortGrid& g = controller->Grid();
        if (g.RowCount() <= row)
            g.SetRowCount(row + 1);
        const char* values[psFieldCount] = {"", "", "", "9600", "8", "None", "1", "None", "", "", "", "",
                                            "0", "13", "", "0", "", "100", "0", ""};
        for (int c = 0; c < psFieldCount; ++c)
            g.SetCell(c, row, values[c]);
        g.SetCell(psID, row, id);
        g.SetCell(psDESCRIPTION, row, description);
        g.SetCell(psPORT, row, port);
        g.SetCell(psDISABLED, row, disabled);
    }

    QTemporaryDir home;
    support::SupportLibraries libs;
    RemoteTagLibrary remote;
    ScriptedBoxes boxes;
    PtyPair ptys[2];
    std::unique_ptr<MainController> controller;
};
