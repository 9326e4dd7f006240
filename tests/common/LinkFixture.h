#pragma once
// A link list wired to pseudo-terminal "devices" COM1..COM3, a recording
// window, the tag table and (for remote mode) the fake remote tags.
#include "CommObjList.h"
#include "FakeRemoteTags.h"
#include "Globals.h"
#include "MakeSetting.h"
#include "PtyPair.h"
#include "RecordingHost.h"
#include "TestWait.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeRemoteTags::Instance().Reset();
        FakeRemoteTags::Attach(remote);
        TCommPortDriver::SetDeviceNameResolver([this](const std::string& com) -> std::string {
            for (int i = 0; i < 3; ++i)
                if (com == "COM" + std::to_string(i + 1))
                    return ptys[i].slavePath();
            return {};
        });
    }
    void TearDown() override
    {
        list.reset();
        TCommPortDriver::SetDeviceNameResolver(nullptr);
    }

    // Builds the links from settings (grid rows 1..n) and starts them all.
    void Build(const std::vector<TPortSetting>& settings, LinkMode mode = LinkMode::Local, std::uint32_t timeout = 5000)
    {
        std::vector<TCommObjList::GridRow> rows;
        int row = 1;
        for (const auto& s : settings)
            rows.emplace_back(row++, s);
        LinkConfig config;
        config.mode = mode;
        config.portResponseTimeout = timeout;
        config.programFolder = "/opt/linvaro/";
        list->Rebuild(rows, config);
    }
    TCommObj& Link(int i) { return *list->At(i); }
    // What the device receives until pred holds or the deadline, serving the
    // main thread's events meanwhile.
    static std::string ReadUntil(PtyPair& pty, const std::function<bool(const std::string&)>& pred,
                                 int timeoutMs = 5000)
    {
        std::string got;
        WaitFor([&] {
            got += pty.read(1 << 16, std::chrono::milliseconds(5));
            return pred(got);
        }, timeoutMs);
        return got;
    }
    std::string TagValue(int linkIndex) { return tags.Value(static_cast<std::size_t>(Link(linkIndex).TagIndex())).textValue; }

    std::array<PtyPair, 3> ptys;
    RecordingHost host;
    TTagTable tags;
    RemoteTagLibrary remote;
    std::unique_ptr<TCommObjList> list = std::make_unique<TCommObjList>(host, &tags, &remote);
};
