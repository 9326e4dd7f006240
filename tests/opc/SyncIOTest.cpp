// IOPCSyncIO: reads of the tags' current text with quality and conversion,
// and writes that reach the port of the tag.
#include "OpcTestSupport.h"

namespace {

class SyncIO : public OpcTest {
protected:
    void SetUp() override
    {
        OpcTest::SetUp();
        ASSERT_EQ(client.Connect(), S_OK);
    }
    void TearDown() override
    {
        client.server.reset();
        OpcTest::TearDown();
    }
    struct Result {
        HRESULT result;
        std::vector<OPCITEMSTATE> states;
        std::vector<HRESULT> errors;
    };
    // A read whose arrays are copied and freed (values described).
    Result Read(ClientGroup& g, OPCDATASOURCE source, std::vector<OPCHANDLE> handles, std::vector<std::string>& values)
    {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        Result r{g.sync->Read(source, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors), {}, {}};
        values.clear();
        if (FAILED(r.result)) {
            EXPECT_EQ(states, nullptr);
            EXPECT_EQ(errors, nullptr);
            return r;
        }
        for (std::size_t i = 0; i < handles.size(); ++i) {
            r.states.push_back(states[i]);
            r.errors.push_back(errors[i]);
            values.push_back(Describe(states[i].vDataValue));
            VariantClear(&states[i].vDataValue);
        }
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return r;
    }
    std::vector<HRESULT> Write(ClientGroup& g, std::vector<OPCHANDLE> handles, std::vector<Variant>& values,
                               HRESULT expected)
    {
        std::vector<VARIANT> raw;
        for (auto& v : values)
            raw.push_back(*v.get());
        HRESULT* errors = nullptr;
        EXPECT_EQ(g.sync->Write(static_cast<DWORD>(handles.size()), handles.data(), raw.data(), &errors), expected);
        std::vector<HRESULT> out(errors, errors + (errors ? handles.size() : 0));
        CoTaskMemFree(errors);
        return out;
    }
    Client client;
};

} // namespace

TEST_F(SyncIO, ReadArgumentsAreCheckedFirst)
{
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g"), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"Scale_COM1"}, items);
    std::vector<std::string> values;
    EXPECT_EQ(Read(g, OPC_DS_CACHE, {}, values).result, E_INVALIDARG);
    EXPECT_EQ(Read(g, static_cast<OPCDATASOURCE>(3), items, values).result, E_INVALIDARG);
    EXPECT_EQ(Read(g, static_cast<OPCDATASOURCE>(0), items, values).result, E_INVALIDARG);
    CoTaskMemFailAfter(1);
    EXPECT_EQ(Read(g, OPC_DS_CACHE, items, values).result, E_OUTOFMEMORY);
    CoTaskMemFailAfter(-1);

    const Result r = Read(g, OPC_DS_CACHE, {99, items[0]}, values);
    EXPECT_EQ(r.result, S_FALSE);
    EXPECT_EQ(r.errors[0], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(r.states[0].hClient, 0u) << "the record of an unknown handle stays zero";
    EXPECT_EQ(values[0], "EMPTY");
    EXPECT_EQ(r.errors[1], S_OK);
}

TEST_F(SyncIO, QualityDependsOnSourceAndActiveStates)
{
    struct Case {
        BOOL groupActive, itemActive;
        OPCDATASOURCE source;
        WORD quality;
    };
    const Case cases[] = {
        {TRUE, TRUE, OPC_DS_CACHE, OPC_QUALITY_GOOD},
        {FALSE, TRUE, OPC_DS_CACHE, OPC_QUALITY_OUT_OF_SERVICE},
        {TRUE, FALSE, OPC_DS_CACHE, OPC_QUALITY_OUT_OF_SERVICE},
        {FALSE, FALSE, OPC_DS_CACHE, OPC_QUALITY_OUT_OF_SERVICE},
        {FALSE, TRUE, OPC_DS_DEVICE, OPC_QUALITY_GOOD},
        {TRUE, FALSE, OPC_DS_DEVICE, OPC_QUALITY_GOOD},
    };
    SetText(1, "READY");
    int n = 0;
    for (const Case& k : cases) {
        ClientGroup g;
        ASSERT_EQ(client.AddGroup(g, "g" + std::to_string(n++), k.groupActive), S_OK);
        std::vector<OPCHANDLE> items;
        g.Add({"Scale_COM2"}, items, VT_EMPTY, k.itemActive, 60);
        std::vector<std::string> values;
        const Result r = Read(g, k.source, items, values);
        EXPECT_EQ(r.result, S_OK);
        EXPECT_EQ(r.states[0].wQuality, k.quality) << k.groupActive << k.itemActive << k.source;
        EXPECT_EQ(r.states[0].hClient, 60u);
        EXPECT_EQ(values[0], "BSTR:READY") << "the tag's current text from either source";
    }
}

TEST_F(SyncIO, TimeStampIsTheLatestPulseOrAddGroup)
{
    ClientGroup g;
    now = 45200.75;
    ASSERT_EQ(client.AddGroup(g, "g"), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"Scale_COM1", "Pump_COM3"}, items);
    std::vector<std::string> values;
    Result r = Read(g, OPC_DS_DEVICE, items, values);
    EXPECT_EQ(FileTimeValue(r.states[0].ftTimeStamp), Stamp(45200.75));
    EXPECT_EQ(FileTimeValue(r.states[1].ftTimeStamp), Stamp(45200.75));
    Pulse(3);
    now += 1.0; // time passes without a pulse (scanning stopped)
    r = Read(g, OPC_DS_DEVICE, items, values);
    EXPECT_EQ(FileTimeValue(r.states[0].ftTimeStamp), Stamp(45200.75 + 3 * kPulse));
}

TEST_F(SyncIO, ConversionToTheRequestedType)
{
    struct Case {
        const char* text;
        VARTYPE vt;
        std::string value;
        HRESULT error;
        WORD quality;
    };
    const Case cases[] = {
        {"12", VT_I2, "I2:12", S_OK, OPC_QUALITY_GOOD},
        {"abc", VT_I4, "EMPTY", DISP_E_TYPEMISMATCH, OPC_QUALITY_GOOD},
        {"70000", VT_I2, "EMPTY", DISP_E_OVERFLOW, OPC_QUALITY_BAD},
        {"-1.5", VT_R8, "R8:-1.500000", S_OK, OPC_QUALITY_GOOD},
        {"text", VT_BSTR, "BSTR:text", S_OK, OPC_QUALITY_GOOD},
    };
    int n = 0;
    for (const Case& k : cases) {
        ClientGroup g;
        ASSERT_EQ(client.AddGroup(g, "g" + std::to_string(n++), FALSE), S_OK);
        SetText(2, k.text);
        std::vector<OPCHANDLE> items;
        g.Add({"Pump_COM3"}, items, k.vt);
        std::vector<std::string> values;
        for (OPCDATASOURCE source : {OPC_DS_DEVICE, OPC_DS_CACHE}) {
            const Result r = Read(g, source, items, values);
            EXPECT_EQ(r.result, k.error == S_OK ? S_OK : S_FALSE) << k.text;
            EXPECT_EQ(r.errors[0], k.error) << k.text;
            EXPECT_EQ(values[0], k.value) << k.text;
            if (source == OPC_DS_DEVICE || k.quality == OPC_QUALITY_BAD) {
                EXPECT_EQ(r.states[0].wQuality, k.quality) << k.text << " source " << source;
            } else {
                EXPECT_EQ(r.states[0].wQuality, OPC_QUALITY_OUT_OF_SERVICE) << "inactive group, cache";
            }
        }
    }
}

TEST_F(SyncIO, WriteStoresTheTextAndSendsItThroughThePort)
{
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g"), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"Scale_COM1", "Pump_COM3"}, items, VT_I4);
    std::vector<Variant> values;
    values.push_back(Variant::fromI4(123));
    values.push_back(Variant::fromText("START\r"));
    EXPECT_EQ(Write(g, items, values, S_OK), (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(Text(0), "123") << "the text form as received, not the requested type";
    EXPECT_EQ(Text(2), "START\r");
    EXPECT_EQ(clientWrites, (std::vector<std::pair<int, std::string>>{{0, "123"}, {2, "START\r"}}));

    clientWrites.clear();
    values.clear();
    values.push_back(Variant::fromText(""));
    values.push_back(Variant::fromBool(true));
    EXPECT_EQ(Write(g, items, values, S_OK), (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(Text(0), "") << "an empty text is stored";
    EXPECT_EQ(Text(2), "True");
    EXPECT_EQ(clientWrites, (std::vector<std::pair<int, std::string>>{{0, ""}, {2, "True"}}))
        << "the port decides not to send an empty text; the grid still shows it";
}

TEST_F(SyncIO, WriteRefusesValuesWithoutATextForm)
{
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g"), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"Scale_COM1"}, items);
    SetText(0, "before");
    std::vector<Variant> values(4);
    values[1] = Variant::fromI2(5);
    values[1].get()->vt = VT_I2 | VT_BYREF;
    values[1].get()->byref = nullptr;
    values[2].get()->vt = VT_NULL;
    values[3] = Variant::fromI4(9);
    EXPECT_EQ(Write(g, {items[0], items[0], items[0], 77}, values, S_FALSE),
              (std::vector<HRESULT>{OPC_E_BADTYPE, OPC_E_BADTYPE, OPC_E_BADTYPE, OPC_E_INVALIDHANDLE}));
    values[1].get()->vt = VT_EMPTY;
    EXPECT_EQ(Text(0), "before");
    EXPECT_TRUE(clientWrites.empty()) << "nothing is sent";

    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(g.sync->Write(0, items.data(), values[3].get(), &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);
    CoTaskMemFailAfter(0);
    EXPECT_EQ(g.sync->Write(1, items.data(), values[3].get(), &errors), E_OUTOFMEMORY);
    CoTaskMemFailAfter(-1);
    EXPECT_EQ(Text(0), "before");
}

TEST_F(SyncIO, WriteAfterTheValueRecordsWereFreedFailsThatEntryOnly)
{
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g"), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"Scale_COM1"}, items);
    tags.FreeValueRecords(); // the window has closed
    std::vector<Variant> values;
    values.push_back(Variant::fromText("late"));
    EXPECT_EQ(Write(g, items, values, S_FALSE), (std::vector<HRESULT>{E_FAIL}));
    EXPECT_TRUE(clientWrites.empty());
    std::vector<std::string> read;
    const Result r = Read(g, OPC_DS_DEVICE, items, read);
    EXPECT_EQ(r.result, S_OK);
    EXPECT_EQ(read[0], "BSTR:") << "no record reads as an empty text";
    Pulse(2);
}
