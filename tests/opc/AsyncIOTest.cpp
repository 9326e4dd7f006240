// IOPCAsyncIO2: requests are queued and completed at the group's next
// tick, in request order, through the advised IOPCDataCallback sink.
#include "OpcTestSupport.h"

namespace {

class AsyncIO : public OpcTest {
protected:
    void SetUp() override
    {
        OpcTest::SetUp();
        ASSERT_EQ(client.Connect(), S_OK);
        ASSERT_EQ(client.AddGroup(group, "g", TRUE, 1000, 77), S_OK);
        group.Add({"Scale_COM1", "Scale_COM2", "Pump_COM3"}, items);
        sink = MakeSink<TestDataSink>();
    }
    void TearDown() override
    {
        group.Release();
        client.server.reset();
        sink.reset();
        OpcTest::TearDown();
    }
    HRESULT AsyncRead(std::vector<OPCHANDLE> handles, DWORD transId, DWORD& cancelId, std::vector<HRESULT>& errors)
    {
        HRESULT* e = nullptr;
        const HRESULT hr =
            group.async->Read(static_cast<DWORD>(handles.size()), handles.data(), transId, &cancelId, &e);
        errors.assign(e, e + (e ? handles.size() : 0));
        CoTaskMemFree(e);
        return hr;
    }
    HRESULT AsyncWrite(std::vector<OPCHANDLE> handles, std::vector<Variant>& values, DWORD transId, DWORD& cancelId,
                       std::vector<HRESULT>& errors)
    {
        std::vector<VARIANT> raw;
        for (auto& v : values)
            raw.push_back(*v.get());
        HRESULT* e = nullptr;
        const HRESULT hr = group.async->Write(static_cast<DWORD>(handles.size()), handles.data(), raw.data(),
                                              transId, &cancelId, &e);
        errors.assign(e, e + (e ? handles.size() : 0));
        CoTaskMemFree(e);
        return hr;
    }
    // Completions only: the data changes of updates are left out.
    std::vector<Call> Completions() const
    {
        std::vector<Call> out;
        for (const auto& c : sink->calls)
            if (!(c.kind == "data" && c.transId == 0))
                out.push_back(c);
        return out;
    }
    Client client;
    ClientGroup group;
    std::vector<OPCHANDLE> items;
    ComPtr<TestDataSink> sink;
};

} // namespace

TEST_F(AsyncIO, EveryRequestNeedsAnAdvisedSinkButCancel)
{
    DWORD cancelId = 5;
    std::vector<HRESULT> errors;
    EXPECT_EQ(AsyncRead({items[0]}, 1, cancelId, errors), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cancelId, 5u) << "no cancel id";
    EXPECT_TRUE(errors.empty());
    std::vector<Variant> values(1);
    EXPECT_EQ(AsyncWrite({items[0]}, values, 1, cancelId, errors), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(group.async->Refresh2(OPC_DS_CACHE, 1, &cancelId), CONNECT_E_NOCONNECTION);
    BOOL enable = 0;
    EXPECT_EQ(group.async->SetEnable(FALSE), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(group.async->GetEnable(&enable), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(group.async->Cancel2(2), E_FAIL);
    EXPECT_EQ(TheOpcCounters().cancelId, 1u);

    group.Advise(sink.get());
    EXPECT_EQ(group.async->GetEnable(&enable), S_OK);
    EXPECT_EQ(enable, -1);
    EXPECT_EQ(AsyncRead({}, 1, cancelId, errors), E_INVALIDARG);
}

TEST_F(AsyncIO, ReadCompletesAtTheNextPulseWithTheKnownItems)
{
    group.Advise(sink.get());
    SetText(1, "7.25");
    Pulse(); // the full report of the Advise
    sink->calls.clear();

    DWORD cancelId = 0;
    std::vector<HRESULT> errors;
    ASSERT_EQ(AsyncRead({items[1], 999}, 41, cancelId, errors), S_OK);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(cancelId, 3u) << "the data change of the first pulse took 2";
    EXPECT_TRUE(sink->calls.empty()) << "nothing happens inside the request";

    Pulse();
    auto reads = sink->Of("read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].transId, 41u);
    EXPECT_EQ(reads[0].group, 77u);
    EXPECT_EQ(reads[0].masterQuality, S_OK);
    EXPECT_EQ(reads[0].masterError, S_OK);
    ASSERT_EQ(reads[0].entries.size(), 1u);
    EXPECT_EQ(reads[0].entries[0].client, 101u);
    EXPECT_EQ(reads[0].entries[0].value, "BSTR:7.25");
    EXPECT_EQ(reads[0].entries[0].quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(reads[0].entries[0].stamp, Stamp(now));
    Pulse(5);
    EXPECT_EQ(sink->Of("read").size(), 1u);

    // Only unknown handles: a cancel id, nothing queued, no callback ever.
    ASSERT_EQ(AsyncRead({998, 999}, 42, cancelId, errors), S_FALSE);
    EXPECT_EQ(cancelId, 4u);
    EXPECT_EQ(group.Object()->PendingTransactions(), 0u);
}

TEST_F(AsyncIO, ReadOfAnInactiveItemReportsOutOfService)
{
    group.Advise(sink.get());
    HRESULT* e = nullptr;
    group.items->SetActiveState(1, &items[2], FALSE, &e);
    CoTaskMemFree(e);
    DWORD cancelId = 0;
    std::vector<HRESULT> errors;
    ASSERT_EQ(AsyncRead({items[2], items[0]}, 3, cancelId, errors), S_OK);
    Pulse();
    auto reads = sink->Of("read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].entries[0].quality, OPC_QUALITY_OUT_OF_SERVICE);
    EXPECT_EQ(reads[0].entries[1].quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(reads[0].Clients(), (std::vector<OPCHANDLE>{102, 100}));
}

TEST_F(AsyncIO, WriteOnlyStoresTheText)
{
    group.Advise(sink.get());
    DWORD cancelId = 0;
    std::vector<HRESULT> errors;
    std::vector<Variant> values;
    values.push_back(Variant::fromText("HELLO"));
    values.push_back(Variant::fromI4(5));
    values.push_back(Variant());
    ASSERT_EQ(AsyncWrite({items[0], 555, items[2]}, values, 9, cancelId, errors), S_OK);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK})) << "no type check at request time";
    EXPECT_EQ(Text(0), "");
    Pulse();
    auto writes = sink->Of("write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].transId, 9u);
    EXPECT_EQ(writes[0].masterError, S_FALSE);
    EXPECT_EQ(writes[0].Clients(), (std::vector<OPCHANDLE>{100, 102}));
    EXPECT_EQ(writes[0].entries[0].error, S_OK);
    EXPECT_EQ(writes[0].entries[1].error, OPC_E_BADTYPE);
    EXPECT_EQ(Text(0), "HELLO");
    EXPECT_TRUE(clientWrites.empty()) << "an asynchronous write is not sent to the port";
}

TEST_F(AsyncIO, ItemsRemovedBeforeProcessingAreReportedNotSkipped)
{
    group.Advise(sink.get());
    Pulse();
    sink->calls.clear();
    DWORD readId = 0, writeId = 0;
    std::vector<HRESULT> errors;
    std::vector<Variant> values;
    values.push_back(Variant::fromText("x"));
    values.push_back(Variant::fromText("y"));
    ASSERT_EQ(AsyncRead({items[0], items[2]}, 1, readId, errors), S_OK);
    ASSERT_EQ(AsyncWrite({items[0], items[2]}, values, 2, writeId, errors), S_OK);
    HRESULT* e = nullptr;
    ASSERT_EQ(group.items->RemoveItems(1, &items[2], &e), S_OK);
    CoTaskMemFree(e);
    Pulse();
    auto calls = Completions();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, "read");
    EXPECT_EQ(calls[0].Clients(), (std::vector<OPCHANDLE>{100, 0}));
    EXPECT_EQ(calls[0].entries[1].error, OPC_E_INVALIDHANDLE);
    EXPECT_EQ(calls[0].entries[1].value, "EMPTY");
    EXPECT_EQ(calls[0].masterError, S_FALSE);
    EXPECT_EQ(calls[1].kind, "write");
    EXPECT_EQ(calls[1].Clients(), (std::vector<OPCHANDLE>{100, 0}));
    EXPECT_EQ(calls[1].entries[1].error, OPC_E_INVALIDITEMID);
    EXPECT_EQ(calls[1].masterError, S_FALSE);
    EXPECT_EQ(Text(0), "x");
}

TEST_F(AsyncIO, AnItemRemovedBeforeProcessingNeverLendsItsEntryToAnother)
{
    group.Advise(sink.get());
    SetText(0, "zero");
    SetText(1, "one");
    SetText(2, "two");
    Pulse();
    sink->calls.clear();
    DWORD readId = 0, writeId = 0;
    std::vector<HRESULT> errors;
    std::vector<Variant> values;
    values.push_back(Variant::fromText("w0"));
    values.push_back(Variant::fromText("w2"));
    ASSERT_EQ(AsyncRead({items[0], items[1], items[2]}, 1, readId, errors), S_OK);
    ASSERT_EQ(AsyncWrite({items[0], items[2]}, values, 2, writeId, errors), S_OK);
    // The first item goes: the others move up in the list.
    HRESULT* e = nullptr;
    ASSERT_EQ(group.items->RemoveItems(1, &items[0], &e), S_OK);
    CoTaskMemFree(e);
    Pulse();
    auto calls = Completions();
    ASSERT_EQ(calls.size(), 2u);
    ASSERT_EQ(calls[0].kind, "read");
    EXPECT_EQ(calls[0].Clients(), (std::vector<OPCHANDLE>{0, 101, 102}));
    EXPECT_EQ(calls[0].entries[0].error, OPC_E_INVALIDHANDLE);
    EXPECT_EQ(calls[0].entries[1].value, "BSTR:one");
    EXPECT_EQ(calls[0].entries[2].value, "BSTR:two");
    EXPECT_EQ(calls[0].masterError, S_FALSE);
    ASSERT_EQ(calls[1].kind, "write");
    EXPECT_EQ(calls[1].Clients(), (std::vector<OPCHANDLE>{0, 102}));
    EXPECT_EQ(Text(0), "zero") << "the removed item's write reached no tag";
    EXPECT_EQ(Text(1), "one") << "nor the tag of the item that moved into its place";
    EXPECT_EQ(Text(2), "w2");
}

TEST_F(AsyncIO, RefreshNeedsAnActiveGroupOfActiveItems)
{
    DWORD cancelId = 0;
    EXPECT_EQ(group.async->Refresh2(OPC_DS_CACHE, 1, &cancelId), CONNECT_E_NOCONNECTION);
    group.Advise(sink.get());
    EXPECT_EQ(group.async->Refresh2(static_cast<OPCDATASOURCE>(4), 1, &cancelId), E_INVALIDARG);
    HRESULT* e = nullptr;
    group.items->SetActiveState(1, &items[1], FALSE, &e);
    CoTaskMemFree(e);
    EXPECT_EQ(group.async->Refresh2(OPC_DS_CACHE, 1, &cancelId), E_FAIL) << "one inactive item";
    group.items->SetActiveState(1, &items[1], TRUE, &e);
    CoTaskMemFree(e);
    group.SetActive(FALSE);
    EXPECT_EQ(group.async->Refresh2(OPC_DS_CACHE, 1, &cancelId), E_FAIL) << "inactive group";
    group.SetActive(TRUE);
    SetText(2, "P");
    Pulse();
    sink->calls.clear();

    // Both sources deliver the values of the pulse that carries the
    // request out.
    ASSERT_EQ(group.async->Refresh2(OPC_DS_DEVICE, 63, &cancelId), S_OK);
    SetText(2, "Q");
    Pulse();
    auto calls = Completions();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, "data");
    EXPECT_EQ(calls[0].transId, 63u);
    EXPECT_EQ(calls[0].masterQuality, S_OK);
    EXPECT_EQ(calls[0].Values(), (std::vector<std::string>{"BSTR:", "BSTR:", "BSTR:Q"}));

    // Items made inactive after the request are left out and spoil the
    // master quality.
    ASSERT_EQ(group.async->Refresh2(OPC_DS_CACHE, 64, &cancelId), S_OK);
    group.items->SetActiveState(1, &items[0], FALSE, &e);
    CoTaskMemFree(e);
    sink->calls.clear();
    Pulse();
    calls = Completions();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].masterQuality, S_FALSE);
    EXPECT_EQ(calls[0].Clients(), (std::vector<OPCHANDLE>{101, 102}));

    HRESULT* none = nullptr;
    OPCHANDLE all[] = {items[0], items[1], items[2]};
    group.items->RemoveItems(3, all, &none);
    CoTaskMemFree(none);
    EXPECT_EQ(group.async->Refresh2(OPC_DS_CACHE, 1, &cancelId), E_FAIL) << "no items";
}

TEST_F(AsyncIO, CancelIsToldAtOnceAndTheTransactionNeverCompletes)
{
    group.Advise(sink.get());
    Pulse();
    sink->calls.clear();
    DWORD first = 0, second = 0;
    std::vector<HRESULT> errors;
    ASSERT_EQ(AsyncRead({items[0]}, 11, first, errors), S_OK);
    ASSERT_EQ(AsyncRead({items[1]}, 12, second, errors), S_OK);
    EXPECT_EQ(group.async->Cancel2(first), S_OK);
    ASSERT_EQ(sink->calls.size(), 1u) << "inside the Cancel2 call";
    EXPECT_EQ(sink->calls[0].kind, "cancel");
    EXPECT_EQ(sink->calls[0].transId, 11u);
    EXPECT_EQ(sink->calls[0].group, 77u);
    EXPECT_EQ(group.async->Cancel2(12345), E_FAIL);
    Pulse();
    auto reads = sink->Of("read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].transId, 12u);
    EXPECT_EQ(group.async->Cancel2(second), E_FAIL) << "already processed";
    EXPECT_EQ(group.async->Cancel2(first), E_FAIL) << "freed by the pass";
}

TEST_F(AsyncIO, QueuedRequestsWaitForTheTickAndGoWithoutASink)
{
    const DWORD cookie = group.Advise(sink.get());
    DWORD cancelId = 0;
    std::vector<HRESULT> errors;
    ASSERT_EQ(AsyncRead({items[0]}, 1, cancelId, errors), S_OK);
    EXPECT_EQ(group.Object()->PendingTransactions(), 1u) << "no pulse: scanning is stopped";
    ASSERT_EQ(group.Unadvise(cookie), S_OK);
    Pulse();
    EXPECT_EQ(group.Object()->PendingTransactions(), 0u) << "discarded without a sink";
    EXPECT_TRUE(sink->calls.empty());

    // A group without items keeps its queue until items come.
    ClientGroup empty;
    ASSERT_EQ(client.AddGroup(empty, "empty"), S_OK);
    empty.Advise(sink.get());
    std::vector<OPCHANDLE> one;
    empty.Add({"Scale_COM1"}, one);
    ASSERT_EQ(empty.async->Read(1, one.data(), 5, &cancelId, nullptr), E_INVALIDARG);
    HRESULT* e = nullptr;
    ASSERT_EQ(empty.async->Read(1, one.data(), 5, &cancelId, &e), S_OK);
    CoTaskMemFree(e);
    empty.items->RemoveItems(1, one.data(), &e);
    CoTaskMemFree(e);
    Pulse(3);
    EXPECT_EQ(empty.Object()->PendingTransactions(), 1u);
    empty.Add({"Scale_COM1"}, one);
    Pulse();
    EXPECT_EQ(empty.Object()->PendingTransactions(), 0u);
    ASSERT_EQ(sink->Of("read").size(), 1u);
    // The request named the removed item, not a place in the list: the new
    // item that took its place is not read in its stead.
    EXPECT_EQ(sink->Of("read")[0].entries[0].client, 0u);
    EXPECT_EQ(sink->Of("read")[0].entries[0].error, OPC_E_INVALIDHANDLE);

    // Destroying a group frees what it still has queued, without callbacks.
    ASSERT_EQ(empty.async->Read(1, one.data(), 6, &cancelId, &e), S_OK);
    CoTaskMemFree(e);
    empty.Release();
    EXPECT_EQ(sink->Of("read").size(), 1u);
}

TEST_F(AsyncIO, OutOfMemoryAtRequestTimeQueuesNothing)
{
    group.Advise(sink.get());
    for (long successes : {0L, 1L}) {
        CoTaskMemFailAfter(successes);
        DWORD cancelId = 0;
        std::vector<HRESULT> errors;
        EXPECT_EQ(AsyncRead({items[0]}, 1, cancelId, errors), E_OUTOFMEMORY);
        EXPECT_TRUE(errors.empty());
        std::vector<Variant> values(1);
        CoTaskMemFailAfter(successes + 1);
        EXPECT_EQ(AsyncWrite({items[0]}, values, 1, cancelId, errors), E_OUTOFMEMORY);
    }
    CoTaskMemFailAfter(-1);
    EXPECT_EQ(group.Object()->PendingTransactions(), 0u);
}

TEST_F(AsyncIO, CallbacksOfOnePulseComeInRequestOrderThenTheDataChange)
{
    ClientGroup second;
    ASSERT_EQ(client.AddGroup(second, "second", TRUE, 10, 88), S_OK);
    std::vector<OPCHANDLE> secondItems;
    second.Add({"Pump_COM3"}, secondItems);
    Client other;
    ASSERT_EQ(other.Connect(), S_OK);
    ClientGroup third;
    ASSERT_EQ(other.AddGroup(third, "third", TRUE, 10, 99), S_OK);
    third.Add({"Pump_COM3"}, secondItems);
    group.Advise(sink.get());
    second.Advise(sink.get());
    third.Advise(sink.get());
    Pulse();
    Journal().clear();

    DWORD id = 0;
    std::vector<HRESULT> errors;
    std::vector<Variant> values;
    values.push_back(Variant::fromText("W"));
    ASSERT_EQ(group.async->Refresh2(OPC_DS_CACHE, 1, &id), S_OK);
    ASSERT_EQ(AsyncWrite({items[2]}, values, 2, id, errors), S_OK);
    ASSERT_EQ(AsyncRead({items[0]}, 3, id, errors), S_OK);
    // The write changes Pump_COM3 in the first pass, so both other groups
    // report it at this pulse's update (rate 10 ms).
    Pulse();
    EXPECT_EQ(Journal(), (std::vector<std::string>{"data:77:1", "write:77:2", "read:77:3", "data:88:0", "data:99:0"}));
    other.server.reset();
    EXPECT_FALSE(third.unk);
}

TEST_F(AsyncIO, RequestMadeInsideACallbackWaitsForTheNextPulse)
{
    group.Advise(sink.get());
    Pulse();
    sink->calls.clear();
    DWORD id = 0;
    std::vector<HRESULT> errors;
    int inner = 0;
    sink->during = [&](const Call& c) {
        if (c.kind == "read" && c.transId == 1 && inner++ == 0) {
            DWORD innerId = 0;
            std::vector<HRESULT> e;
            EXPECT_EQ(AsyncRead({items[1]}, 2, innerId, e), S_OK);
        }
    };
    ASSERT_EQ(AsyncRead({items[0]}, 1, id, errors), S_OK);
    Pulse();
    EXPECT_EQ(sink->Of("read").size(), 1u);
    EXPECT_EQ(group.Object()->PendingTransactions(), 1u);
    Pulse();
    ASSERT_EQ(sink->Of("read").size(), 2u);
    EXPECT_EQ(sink->Of("read")[1].transId, 2u);
}

TEST_F(AsyncIO, SinkWithoutTheCallbackInterfaceGetsNothing)
{
    auto mute = MakeSink<TestDataSink>(false);
    group.Advise(mute.get());
    DWORD id = 0;
    std::vector<HRESULT> errors;
    ASSERT_EQ(AsyncRead({items[0]}, 1, id, errors), S_OK) << "the sink is not asked at Advise";
    EXPECT_EQ(group.async->Cancel2(id), S_OK);
    ASSERT_EQ(AsyncRead({items[0]}, 2, id, errors), S_OK);
    Pulse(2);
    EXPECT_TRUE(mute->calls.empty());
    EXPECT_GE(mute->queries, 3) << "asked again at every callback";
    EXPECT_EQ(group.Object()->PendingTransactions(), 0u);
}
