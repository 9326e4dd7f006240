// Data-change subscription: the group's IOPCDataCallback connection point,
// the change scan at every pulse and the OnDataChange of each update.
#include "OpcTestSupport.h"
#include "PortText.h"

namespace {

class DataChange : public OpcTest {
protected:
    void SetUp() override
    {
        OpcTest::SetUp();
        ASSERT_EQ(client.Connect(), S_OK);
        sink = MakeSink<TestDataSink>();
    }
    void TearDown() override
    {
        group.Release();
        client.server.reset();
        sink.reset();
        OpcTest::TearDown();
    }
    // A group of the three tags (client handles 100..102).
    void Make(BOOL active = TRUE, DWORD rate = 10)
    {
        ASSERT_EQ(client.AddGroup(group, "g", active, rate, 77), S_OK);
        group.Add({"Scale_COM1", "Scale_COM2", "Pump_COM3"}, items);
    }
    // Data changes of updates received so far, then forgotten.
    std::vector<Call> Updates()
    {
        std::vector<Call> out;
        for (const auto& c : sink->calls)
            if (c.kind == "data" && c.transId == 0)
                out.push_back(c);
        sink->calls.clear();
        return out;
    }
    Client client;
    ClientGroup group;
    std::vector<OPCHANDLE> items;
    ComPtr<TestDataSink> sink;
};

} // namespace

TEST_F(DataChange, AdviseOnAnActiveGroupReportsEveryActiveItemAtTheNextPulse)
{
    Make(TRUE, 1000);
    SetText(0, "12.5 kg");
    HRESULT* e = nullptr;
    group.items->SetActiveState(1, &items[1], FALSE, &e);
    CoTaskMemFree(e);
    Pulse(200); // nothing is advised: changes are dropped
    EXPECT_EQ(group.Advise(sink.get()), 1u);
    EXPECT_TRUE(sink->calls.empty());
    Pulse();
    auto updates = Updates();
    ASSERT_EQ(updates.size(), 1u);
    const Call& c = updates[0];
    EXPECT_EQ(c.group, 77u);
    EXPECT_EQ(c.masterQuality, S_OK);
    EXPECT_EQ(c.masterError, S_OK);
    EXPECT_EQ(c.Clients(), (std::vector<OPCHANDLE>{100, 102}));
    EXPECT_EQ(c.Values(), (std::vector<std::string>{"BSTR:12.5 kg", "BSTR:"})) << "an empty text is reported too";
    for (const Entry& x : c.entries) {
        EXPECT_EQ(x.quality, OPC_QUALITY_GOOD);
        EXPECT_EQ(x.error, S_OK);
        EXPECT_EQ(x.stamp, Stamp(now));
    }
    Pulse(150);
    EXPECT_TRUE(Updates().empty()) << "nothing changed since";
}

TEST_F(DataChange, UpdatesFallEveryCeilRateOverTenPulses)
{
    struct Case {
        DWORD rate;
        int pulses;
    };
    int n = 0;
    for (const Case& k : {Case{1, 1}, Case{10, 1}, Case{25, 3}, Case{1000, 100}, Case{0, 100}}) {
        ClientGroup g;
        ASSERT_EQ(client.AddGroup(g, "g" + std::to_string(n++), TRUE, k.rate), k.rate ? S_OK : OPC_S_UNSUPPORTEDRATE);
        std::vector<OPCHANDLE> h;
        g.Add({"Pump_COM3"}, h);
        auto s = MakeSink<TestDataSink>();
        g.Advise(s.get());
        Pulse(); // the full report of the Advise
        ASSERT_EQ(s->calls.size(), 1u) << k.rate;
        // Changes at every pulse are delivered once per period, all in one
        // callback with the text of the update.
        int first = 0;
        for (int p = 1; p <= 2 * k.pulses && !first; ++p) {
            SetText(2, std::to_string(k.rate) + "v" + std::to_string(p));
            Pulse();
            if (s->calls.size() == 2)
                first = p;
        }
        EXPECT_EQ(first, k.pulses) << "rate " << k.rate;
        ASSERT_EQ(s->calls.size(), 2u);
        EXPECT_EQ(s->calls[1].Values(),
                  (std::vector<std::string>{"BSTR:" + std::to_string(k.rate) + "v" + std::to_string(k.pulses)}));
    }
}

TEST_F(DataChange, OnlyTheLatestSinkIsCalledAndOnlyUntilAnyUnadvise)
{
    Make();
    auto older = MakeSink<TestDataSink>();
    EXPECT_EQ(group.Advise(older.get()), 1u);
    EXPECT_EQ(group.Advise(sink.get()), 2u);
    SetText(0, "a");
    Pulse();
    EXPECT_TRUE(older->calls.empty());
    EXPECT_EQ(Updates().size(), 1u);

    EXPECT_EQ(group.Unadvise(2), S_OK);
    SetText(0, "b");
    Pulse();
    EXPECT_TRUE(older->calls.empty()) << "the first connection remains but is not called";
    EXPECT_TRUE(Updates().empty());
    BOOL enable = 0;
    EXPECT_EQ(group.async->GetEnable(&enable), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(group.Unadvise(1), S_OK);
    EXPECT_EQ(group.Unadvise(1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(group.Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(group.Unadvise(3), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(older->RefCount(), 1u);
    EXPECT_EQ(sink->RefCount(), 1u);
}

TEST_F(DataChange, WhatCountsAsAChange)
{
    Make(TRUE, 30); // an update every third pulse
    group.Advise(sink.get());
    Pulse();
    Updates();

    SetText(0, "1");
    Pulse();
    SetText(0, "2");
    Pulse();
    SetText(1, "x"); // changes and changes back within one pulse
    SetText(1, "");
    Pulse();
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Values(), (std::vector<std::string>{"BSTR:2"})) << "one entry with the latest text";

    SetText(2, "abc");
    Pulse(3);
    Updates();
    SetText(2, "ABC");
    Pulse(3);
    u = Updates();
    ASSERT_EQ(u.size(), 1u) << "letter case counts";
    EXPECT_EQ(u[0].Clients(), (std::vector<OPCHANDLE>{102}));

    SetText(2, "ABC"); // the same text written again
    Pulse(3);
    EXPECT_TRUE(Updates().empty());

    // A short change between updates is still reported, with the text of
    // the update.
    SetText(1, "period");
    Pulse();
    Updates();
    SetText(0, "blip");
    Pulse();
    SetText(0, "2b");
    Pulse(2);
    u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Values(), (std::vector<std::string>{"BSTR:2b"}));
}

TEST_F(DataChange, ChangesWhileInactiveAreReportedOnceOnActivation)
{
    Make(FALSE);
    group.Advise(sink.get());
    SetText(0, "first");
    Pulse(3);
    SetText(0, "second");
    Pulse(3);
    EXPECT_TRUE(Updates().empty());
    EXPECT_EQ(group.SetActive(TRUE), S_OK);
    Pulse();
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Values(), (std::vector<std::string>{"BSTR:second", "BSTR:", "BSTR:"}));
    Pulse(5);
    EXPECT_TRUE(Updates().empty());
}

TEST_F(DataChange, DisabledGroupDropsUpdatesButCompletesRefreshes)
{
    Make();
    group.Advise(sink.get());
    Pulse();
    Updates();
    BOOL enable = 0;
    ASSERT_EQ(group.async->GetEnable(&enable), S_OK);
    EXPECT_EQ(enable, -1);
    ASSERT_EQ(group.async->SetEnable(FALSE), S_OK);
    SetText(0, "while disabled");
    Pulse(3);
    EXPECT_TRUE(Updates().empty());
    DWORD id = 0;
    ASSERT_EQ(group.async->Refresh2(OPC_DS_CACHE, 5, &id), S_OK);
    Pulse();
    ASSERT_EQ(sink->calls.size(), 1u);
    EXPECT_EQ(sink->calls[0].transId, 5u);
    EXPECT_EQ(sink->calls[0].Values()[0], "BSTR:while disabled");
    sink->calls.clear();

    ASSERT_EQ(group.async->SetEnable(TRUE), S_OK);
    Pulse(3);
    EXPECT_TRUE(Updates().empty()) << "changes of the disabled time are dropped";
    SetText(1, "later");
    Pulse();
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Clients(), (std::vector<OPCHANDLE>{101}));
}

TEST_F(DataChange, ItemActivationAloneReportsNothing)
{
    Make();
    group.Advise(sink.get());
    Pulse();
    Updates();
    HRESULT* e = nullptr;
    group.items->SetActiveState(1, &items[0], FALSE, &e);
    CoTaskMemFree(e);
    Pulse(2);
    group.items->SetActiveState(1, &items[0], TRUE, &e);
    CoTaskMemFree(e);
    Pulse(3);
    EXPECT_TRUE(Updates().empty());

    // A cache read while the item was inactive records quality 28, so the
    // item counts as changed once it is active again.
    group.items->SetActiveState(1, &items[0], FALSE, &e);
    CoTaskMemFree(e);
    OPCITEMSTATE* values = nullptr;
    ASSERT_EQ(group.sync->Read(OPC_DS_CACHE, 1, &items[0], &values, &e), S_OK);
    VariantClear(&values[0].vDataValue);
    CoTaskMemFree(values);
    CoTaskMemFree(e);
    group.items->SetActiveState(1, &items[0], TRUE, &e);
    CoTaskMemFree(e);
    Pulse();
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Clients(), (std::vector<OPCHANDLE>{100}));
}

TEST_F(DataChange, AdviseOnAnInactiveGroupWaitsForActivation)
{
    Make(FALSE, 1000);
    group.Advise(sink.get());
    Pulse(200);
    EXPECT_TRUE(Updates().empty());
    ASSERT_EQ(group.SetActive(TRUE), S_OK);
    Pulse();
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u) << "a full report at the next pulse";
    EXPECT_EQ(u[0].entries.size(), 3u);
}

TEST_F(DataChange, NewItemsAndWrittenTextsAreReportedAtTheNextUpdate)
{
    Make(TRUE, 20);
    group.Advise(sink.get());
    Pulse(); // the full report starts a period
    Updates();
    std::vector<OPCHANDLE> added;
    group.Add({"Scale_COM2"}, added, VT_EMPTY, TRUE, 500);
    Variant written = Variant::fromText("42");
    HRESULT* e = nullptr;
    ASSERT_EQ(group.sync->Write(1, &items[2], written.get(), &e), S_OK);
    CoTaskMemFree(e);
    Pulse();
    EXPECT_TRUE(Updates().empty()) << "not yet an update point";
    Pulse();
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Clients(), (std::vector<OPCHANDLE>{102, 500}));
    EXPECT_EQ(u[0].Values(), (std::vector<std::string>{"BSTR:42", "BSTR:"}));
}

TEST_F(DataChange, OverflowReportsBadQualityAndSpoilsTheMasterQuality)
{
    ASSERT_EQ(client.AddGroup(group, "g", TRUE, 10, 77), S_OK);
    group.Add({"Scale_COM1"}, items, VT_I2);
    std::vector<OPCHANDLE> text;
    group.Add({"Scale_COM2"}, text, VT_I4, TRUE, 200);
    SetText(0, "70000");
    SetText(1, "abc");
    group.Advise(sink.get());
    Pulse();
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].masterQuality, S_FALSE);
    EXPECT_EQ(u[0].masterError, S_OK);
    EXPECT_EQ(u[0].entries[0].quality, OPC_QUALITY_BAD);
    EXPECT_EQ(u[0].entries[0].error, DISP_E_OVERFLOW);
    EXPECT_EQ(u[0].entries[0].value, "EMPTY");
    EXPECT_EQ(u[0].entries[1].quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(u[0].entries[1].error, DISP_E_TYPEMISMATCH);
}

TEST_F(DataChange, NoPulseNoCallback)
{
    Make();
    group.Advise(sink.get());
    SetText(0, "x");
    DWORD id = 0;
    ASSERT_EQ(group.async->Refresh2(OPC_DS_CACHE, 1, &id), S_OK);
    EXPECT_TRUE(sink->calls.empty());
    EXPECT_EQ(group.Object()->PendingTransactions(), 1u);
}

TEST_F(DataChange, ClientMayRemoveItemsOrReleaseTheGroupInsideACallback)
{
    Make();
    group.Advise(sink.get());
    ASSERT_EQ(group.async->Refresh2(OPC_DS_CACHE, 9, nullptr), E_INVALIDARG);
    DWORD id = 0;
    HRESULT* e = nullptr;
    ASSERT_EQ(group.async->Read(3, items.data(), 8, &id, &e), S_OK);
    CoTaskMemFree(e);
    // Inside the read completion the client removes two items; the data
    // change of the same pulse reports only what is left. (The read itself
    // counts as the items' last report, so only a new text is a change.)
    SetText(2, "left");
    sink->during = [&](const Call& c) {
        if (c.kind == "read") {
            HRESULT* errors = nullptr;
            OPCHANDLE gone[] = {items[0], items[1]};
            group.items->RemoveItems(2, gone, &errors);
            CoTaskMemFree(errors);
        }
    };
    Pulse();
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Clients(), (std::vector<OPCHANDLE>{102}));

    // Inside a data change it reads the item again after a new text came
    // (the values of the call in progress stay as they were), then removes
    // it (they stay readable until the call returns).
    SetText(2, "before");
    Pulse();
    Updates();
    SetText(2, "a much longer text than before");
    sink->during = [&](const Call& c) {
        if (c.kind != "data")
            return;
        SetText(2, "x");
        OPCITEMSTATE* values = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(group.sync->Read(OPC_DS_DEVICE, 1, &items[2], &values, &errors), S_OK);
        EXPECT_EQ(Describe(values[0].vDataValue), "BSTR:x");
        VariantClear(&values[0].vDataValue);
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
        group.items->RemoveItems(1, &items[2], &errors);
        CoTaskMemFree(errors);
    };
    Pulse();
    u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Values(), (std::vector<std::string>{"BSTR:a much longer text than before"}));
    EXPECT_EQ(group.Object()->ItemCount(), 0u);
    sink->during = nullptr;
    group.Add({"Pump_COM3"}, items);
    Pulse();
    Updates();

    // Inside the next data change it lets go of the group altogether.
    sink->during = [&](const Call&) { group.Release(); };
    SetText(2, "bye");
    const OPCHANDLE h = group.handle;
    Pulse();
    EXPECT_EQ(Updates().size(), 1u);
    EXPECT_EQ(client.Object()->GroupCount(), 0u);
    EXPECT_EQ(client.server->RemoveGroup(h, FALSE), S_OK);
    Pulse();
}

TEST_F(DataChange, CallbacksFollowSlotOrderThenGroupOrder)
{
    Client second;
    ASSERT_EQ(second.Connect(), S_OK);
    ClientGroup a, b, c;
    ASSERT_EQ(second.AddGroup(a, "a", TRUE, 10, 1), S_OK);
    ASSERT_EQ(client.AddGroup(b, "b", TRUE, 10, 2), S_OK);
    ASSERT_EQ(client.AddGroup(c, "c", TRUE, 10, 3), S_OK);
    std::vector<OPCHANDLE> h;
    for (ClientGroup* g : {&a, &b, &c}) {
        g->Add({"Scale_COM1"}, h);
        g->Advise(sink.get());
    }
    Journal().clear();
    Pulse();
    EXPECT_EQ(Journal(), (std::vector<std::string>{"data:2:0", "data:3:0", "data:1:0"}))
        << "slot 0 (b, c) before slot 1 (a)";
    a.Release();
}

TEST_F(DataChange, TextsOfAnyLengthAndCharacterComeThroughUnchanged)
{
    Make();
    group.Advise(sink.get());
    Pulse();
    Updates();
    // Lengths go up and down; the last two are not plain ASCII.
    const std::vector<std::string> texts = {"12345", "1", "", std::string(40, 'z'), "7", "25.0 \xC2\xB0" "C",
                                            "\xFF\x01raw"};
    for (const std::string& text : texts) {
        SetText(0, text);
        Pulse();
        auto u = Updates();
        ASSERT_EQ(u.size(), 1u) << text;
        ASSERT_EQ(u[0].entries.size(), 1u);
        // A port's bytes reach the client by the port text rule.
        EXPECT_EQ(u[0].entries[0].value, "BSTR:" + AnsiFromBstr(BStr(BstrFromPortBytes(text)).get())) << text;
    }
    // The same texts through a refresh and an asynchronous read.
    DWORD id = 0;
    HRESULT* e = nullptr;
    ASSERT_EQ(group.async->Read(1, &items[0], 4, &id, &e), S_OK);
    CoTaskMemFree(e);
    ASSERT_EQ(group.async->Refresh2(OPC_DS_CACHE, 5, &id), S_OK);
    Pulse();
    ASSERT_EQ(sink->calls.size(), 2u);
    const std::string last = "BSTR:" + AnsiFromBstr(BStr(BstrFromPortBytes(texts.back())).get());
    EXPECT_EQ(sink->calls[0].entries[0].value, last);
    EXPECT_EQ(sink->calls[1].entries[0].value, last);
}

// A loaded main thread runs its 10 ms pulse late: the group's rate counts
// the time that passed, so it is late by at most one pulse per update.
TEST_F(DataChange, AGroupKeepsItsRateWhenPulsesComeLate)
{
    Make(TRUE, 100);
    group.Advise(sink.get());
    Pulse();
    Updates();
    int n = 0;
    auto latePulses = [&](int count, std::uint32_t everyMs) {
        std::vector<int> updatesAt;
        for (int p = 1; p <= count; ++p) {
            SetText(0, "v" + std::to_string(++n));
            tick += everyMs;
            Pulse();
            if (!Updates().empty())
                updatesAt.push_back(p);
        }
        return updatesAt;
    };
    // Pulses 53 ms apart: an update every second pulse (at 106, 212, ...
    // 530 ms: the first pulse after each 100 ms), not every tenth pulse.
    EXPECT_EQ(latePulses(10, 53), (std::vector<int>{2, 4, 6, 8, 10}));
    // On time again: the next 100 ms mark (600 ms) falls on the seventh
    // pulse, then every tenth pulse, as the rate says.
    EXPECT_EQ(latePulses(25, 10), (std::vector<int>{7, 17}));
    EXPECT_EQ(group.revisedRate, 100u);
}

// An update that finds nothing starts no period: the change after a quiet
// spell goes out at the next pulse, early or regular, and then the rate
// holds again. The program is told at each store between pulses what an
// early pulse would do for it.
TEST_F(DataChange, AChangeAfterAQuietSpellGoesOutAtOnce)
{
    Make(TRUE, 100);
    group.Advise(sink.get());
    std::vector<std::pair<bool, std::int64_t>> asked; // awaited, ms to the next update
    TheTagWatch().storedBetweenPulses = [&](bool awaited) { asked.emplace_back(awaited, OpcMsToNextUpdate()); };
    auto pulseAfter = [&](std::uint32_t ms) {
        tick += ms;
        Pulse();
    };
    pulseAfter(10); // the full report starts a period
    ASSERT_EQ(Updates().size(), 1u);
    for (int i = 0; i < 20; ++i)
        pulseAfter(10);
    EXPECT_TRUE(Updates().empty());

    tick += 3;
    SetText(0, "after a quiet spell");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(asked[0].first) << "the group awaits a change";
    now += kPulse;
    OpcServerEarlyPulse(now);
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u) << "the early pulse reports it";
    EXPECT_EQ(u[0].Values(), (std::vector<std::string>{"BSTR:after a quiet spell"}));

    // Within the period that update began: the next change waits for it,
    // and an early pulse just before its end reports nothing yet.
    tick += 40;
    SetText(1, "within the period");
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_FALSE(asked[1].first);
    EXPECT_EQ(asked[1].second, 60);
    tick += 59;
    now += kPulse;
    OpcServerEarlyPulse(now);
    EXPECT_TRUE(Updates().empty());
    tick += 1;
    now += kPulse;
    OpcServerEarlyPulse(now);
    u = Updates();
    ASSERT_EQ(u.size(), 1u) << "at the end of the period, not a pulse later";
    EXPECT_EQ(u[0].Clients(), (std::vector<OPCHANDLE>{101}));

    // A read between pulses that sees a new text wakes an awaiting group too.
    for (int i = 0; i < 11; ++i)
        pulseAfter(10);
    EXPECT_TRUE(Updates().empty());
    TheTagWatch().storedBetweenPulses = nullptr;
    SetText(2, "read first");
    OPCITEMSTATE* values = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(group.sync->Read(OPC_DS_CACHE, 1, &items[2], &values, &e), S_OK);
    VariantClear(&values[0].vDataValue);
    CoTaskMemFree(values);
    CoTaskMemFree(e);
    pulseAfter(1);
    u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Clients(), (std::vector<OPCHANDLE>{102}));
}

// Items are compared when their group updates, yet what a check at every
// pulse saw still counts: a change that lasted a pulse and went back, or
// one a read saw, is reported; what a tag did while an item was inactive
// is not the item's.
TEST_F(DataChange, ChangesSeenByAPulseOrAReadCountThoughTheTagChangedBack)
{
    Make(TRUE, 100);
    group.Advise(sink.get());
    Pulse(); // the full report begins a period
    Updates();
    HRESULT* e = nullptr;
    group.items->SetActiveState(1, &items[2], FALSE, &e);
    CoTaskMemFree(e);

    SetText(0, "lasted a pulse");
    Pulse();
    SetText(0, "");
    SetText(1, "seen by a read");
    OPCITEMSTATE* values = nullptr;
    ASSERT_EQ(group.sync->Read(OPC_DS_CACHE, 1, &items[1], &values, &e), S_OK);
    VariantClear(&values[0].vDataValue);
    CoTaskMemFree(values);
    CoTaskMemFree(e);
    SetText(1, "");
    SetText(2, "while inactive");
    Pulse();
    SetText(2, "");
    Pulse();
    group.items->SetActiveState(1, &items[2], TRUE, &e);
    CoTaskMemFree(e);
    Pulse(5);
    EXPECT_TRUE(Updates().empty()) << "within the period";
    Pulse(2);
    auto u = Updates();
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].Clients(), (std::vector<OPCHANDLE>{100, 101}));
    EXPECT_EQ(u[0].Values(), (std::vector<std::string>{"BSTR:", "BSTR:"}));

    // Within one pulse there and back is no change, as before.
    SetText(0, "x");
    SetText(0, "");
    Pulse(10);
    EXPECT_TRUE(Updates().empty());
}
