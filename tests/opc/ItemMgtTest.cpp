// Items through IOPCItemMgt and IEnumOPCItemAttributes.
#include "OpcTestSupport.h"

namespace {

class ItemMgt : public OpcTest {
protected:
    void SetUp() override
    {
        OpcTest::SetUp();
        ASSERT_EQ(client.Connect(), S_OK);
        ASSERT_EQ(client.AddGroup(group, "g"), S_OK);
    }
    void TearDown() override
    {
        group.Release();
        client.server.reset();
        OpcTest::TearDown();
    }
    // Calls a per-handle method and returns its errors (freed).
    template <typename F> std::vector<HRESULT> Errors(DWORD n, HRESULT expected, F call)
    {
        HRESULT* errors = nullptr;
        EXPECT_EQ(call(&errors), expected);
        std::vector<HRESULT> out(errors, errors + (errors ? n : 0));
        CoTaskMemFree(errors);
        return out;
    }
    Client client;
    ClientGroup group;
};

OPCITEMDEF Def(LPCWSTR id, VARTYPE vt = VT_EMPTY, OPCHANDLE client = 1)
{
    OPCITEMDEF d{};
    d.szItemID = const_cast<LPWSTR>(id);
    d.bActive = 1;
    d.hClient = client;
    d.vtRequestedDataType = vt;
    return d;
}

std::vector<OPCITEMATTRIBUTES> NextAttributes(IEnumOPCItemAttributes* e, ULONG n, HRESULT expected)
{
    OPCITEMATTRIBUTES* a = nullptr;
    ULONG fetched = 99;
    EXPECT_EQ(e->Next(n, &a, &fetched), expected);
    std::vector<OPCITEMATTRIBUTES> out(a, a + fetched);
    CoTaskMemFree(a);
    return out;
}

void Free(std::vector<OPCITEMATTRIBUTES>& v)
{
    for (auto& a : v) {
        CoTaskMemFree(a.szAccessPath);
        CoTaskMemFree(a.szItemID);
        VariantClear(&a.vEUInfo);
    }
}

} // namespace

TEST_F(ItemMgt, AddItemsChecksEachDefinitionInOrder)
{
    OPCITEMRESULT* results = reinterpret_cast<OPCITEMRESULT*>(1);
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(group.items->AddItems(0, nullptr, &results, &errors), E_INVALIDARG);
    EXPECT_EQ(results, nullptr);
    EXPECT_EQ(errors, nullptr);

    OPCITEMDEF defs[] = {Def(u"Scale_COM1", VT_EMPTY, 11),
                         Def(u"Nothing_COM9"),
                         Def(u"scale_com1"),
                         Def(u""),
                         Def(nullptr),
                         Def(u"Scale_COM2", VT_ARRAY | VT_UI1),
                         Def(u"Scale_COM2", 73),
                         Def(u"Unknown", 0x2011),
                         Def(u"Pump_COM3", VT_I4, 13),
                         Def(u"Scale_COM1", VT_CLSID, 14)};
    constexpr DWORD n = sizeof defs / sizeof defs[0];
    ASSERT_EQ(group.items->AddItems(n, defs, &results, &errors), S_FALSE);
    const HRESULT expected[n] = {S_OK,          OPC_E_UNKNOWNITEMID, OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID,
                                 OPC_E_INVALIDITEMID, OPC_E_BADTYPE, OPC_E_BADTYPE, OPC_E_UNKNOWNITEMID,
                                 S_OK,          S_OK};
    for (DWORD i = 0; i < n; ++i) {
        EXPECT_EQ(errors[i], expected[i]) << i;
        if (FAILED(expected[i])) {
            EXPECT_EQ(results[i].hServer, 0u) << "failed entries stay zero";
        }
    }
    EXPECT_EQ(results[0].hServer, 2u) << "first item handle of the process";
    EXPECT_EQ(results[8].hServer, 3u);
    EXPECT_EQ(results[9].hServer, 4u) << "the same ID twice gives two items";
    for (DWORD i : {0u, 8u, 9u}) {
        EXPECT_EQ(results[i].vtCanonicalDataType, VT_BSTR);
        EXPECT_EQ(results[i].dwAccessRights, OPC_READABLE | OPC_WRITEABLE);
        EXPECT_EQ(results[i].dwBlobSize, 0u);
        EXPECT_EQ(results[i].pBlob, nullptr);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    EXPECT_EQ(group.Object()->ItemCount(), 3u);
}

TEST_F(ItemMgt, ValidateItemsReportsButAddsNothing)
{
    OPCITEMDEF defs[] = {Def(u"Pump_COM3", VT_I2), Def(u"Nothing_COM9"), Def(u""), Def(u"Nothing", VT_ARRAY | VT_I4)};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(group.items->ValidateItems(4, defs, TRUE, &results, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDITEMID) << "unknown is invalid here";
    EXPECT_EQ(errors[2], OPC_E_INVALIDITEMID);
    EXPECT_EQ(errors[3], OPC_E_BADTYPE) << "the type is checked before the name";
    EXPECT_EQ(results[0].hServer, 0u);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_BSTR);
    EXPECT_EQ(results[0].dwAccessRights, 3u);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    EXPECT_EQ(group.Object()->ItemCount(), 0u);
    EXPECT_EQ(TheOpcCounters().itemServerHandle, 1u);
}

TEST_F(ItemMgt, WithoutATagTableNoItemIsKnown)
{
    TheOpcContext().tags = nullptr; // remote mode
    OPCITEMDEF def = Def(u"Scale_COM1");
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(group.items->AddItems(1, &def, &results, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_UNKNOWNITEMID);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ASSERT_EQ(group.items->ValidateItems(1, &def, FALSE, &results, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_INVALIDITEMID);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
}

TEST_F(ItemMgt, OutOfMemoryForTheArraysChangesNothing)
{
    OPCITEMDEF def = Def(u"Scale_COM1");
    for (long successes : {0L, 1L}) {
        CoTaskMemFailAfter(successes);
        OPCITEMRESULT* results = reinterpret_cast<OPCITEMRESULT*>(1);
        HRESULT* errors = reinterpret_cast<HRESULT*>(1);
        EXPECT_EQ(group.items->AddItems(1, &def, &results, &errors), E_OUTOFMEMORY);
        EXPECT_EQ(results, nullptr);
        EXPECT_EQ(errors, nullptr);
    }
    CoTaskMemFailAfter(-1);
    EXPECT_EQ(group.Object()->ItemCount(), 0u);
    std::vector<OPCHANDLE> items;
    group.Add({"Scale_COM1"}, items);
    CoTaskMemFailAfter(0);
    HRESULT* errors = nullptr;
    EXPECT_EQ(group.items->RemoveItems(1, items.data(), &errors), E_OUTOFMEMORY);
    CoTaskMemFailAfter(-1);
    EXPECT_EQ(group.Object()->ItemCount(), 1u);
}

TEST_F(ItemMgt, PerHandleMethodsReportUnknownHandlesAndGoOn)
{
    std::vector<OPCHANDLE> items;
    group.Add({"Scale_COM1", "Scale_COM2", "Pump_COM3"}, items);
    ASSERT_EQ(items, (std::vector<OPCHANDLE>{2, 3, 4}));

    OPCHANDLE removeFirst[] = {3};
    EXPECT_EQ(Errors(1, S_OK, [&](HRESULT** e) { return group.items->RemoveItems(1, removeFirst, e); }),
              (std::vector<HRESULT>{S_OK}));
    OPCHANDLE remove[] = {3, 99, 4};
    EXPECT_EQ(Errors(3, S_FALSE, [&](HRESULT** e) { return group.items->RemoveItems(3, remove, e); }),
              (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(group.Object()->ItemCount(), 1u);

    OPCHANDLE handles[] = {2, 4};
    EXPECT_EQ(Errors(2, S_FALSE, [&](HRESULT** e) { return group.items->SetActiveState(2, handles, FALSE, e); }),
              (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
    OPCHANDLE clients[] = {700, 701};
    EXPECT_EQ(Errors(2, S_FALSE, [&](HRESULT** e) { return group.items->SetClientHandles(2, handles, clients, e); }),
              (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
    VARTYPE types[] = {VT_ARRAY | VT_UI1, VT_I4};
    EXPECT_EQ(Errors(2, S_FALSE, [&](HRESULT** e) { return group.items->SetDatatypes(2, handles, types, e); }),
              (std::vector<HRESULT>{OPC_E_BADTYPE, OPC_E_INVALIDHANDLE}));
    for (auto call : {+[](IOPCItemMgt* m, HRESULT** e) { return m->RemoveItems(0, nullptr, e); },
                      +[](IOPCItemMgt* m, HRESULT** e) { return m->SetActiveState(0, nullptr, TRUE, e); }}) {
        HRESULT* errors = reinterpret_cast<HRESULT*>(1);
        EXPECT_EQ(call(group.items.get(), &errors), E_INVALIDARG);
        EXPECT_EQ(errors, nullptr);
    }

    // What the item now reports: client handle 700, inactive, still BSTR.
    SetText(0, "42");
    OPCITEMSTATE* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(group.sync->Read(OPC_DS_CACHE, 1, handles, &values, &errors), S_OK);
    EXPECT_EQ(values[0].hClient, 700u);
    EXPECT_EQ(values[0].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
    EXPECT_EQ(Describe(values[0].vDataValue), "BSTR:42");
    VariantClear(&values[0].vDataValue);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    VARTYPE i4[] = {VT_I4};
    EXPECT_EQ(Errors(1, S_OK, [&](HRESULT** e) { return group.items->SetDatatypes(1, handles, i4, e); }),
              (std::vector<HRESULT>{S_OK}));
    ASSERT_EQ(group.sync->Read(OPC_DS_DEVICE, 1, handles, &values, &errors), S_OK);
    EXPECT_EQ(Describe(values[0].vDataValue), "I4:42");
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
}

TEST_F(ItemMgt, AttributeEnumeratorIsASnapshotWithItsOwnCursor)
{
    IUnknown* unk = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(group.items->CreateEnumerator(IID_IEnumOPCItemAttributes, &unk), S_FALSE);
    EXPECT_EQ(unk, nullptr) << "no items: no enumerator";
    std::vector<OPCHANDLE> items;
    group.Add({"Scale_COM1"}, items, VT_I4, FALSE, 31);
    group.Add({"Pump_COM3"}, items, VT_EMPTY, TRUE, 32);
    EXPECT_EQ(group.items->CreateEnumerator(IID_IUnknown, &unk), E_INVALIDARG);
    ASSERT_EQ(group.items->CreateEnumerator(IID_IEnumOPCItemAttributes, &unk), S_OK);
    IEnumOPCItemAttributes* e = nullptr;
    ASSERT_EQ(unk->QueryInterface(IID_IEnumOPCItemAttributes, reinterpret_cast<void**>(&e)), S_OK);
    unk->Release();

    // Later changes of the group do not show.
    HRESULT* errors = nullptr;
    group.items->RemoveItems(1, items.data(), &errors);
    CoTaskMemFree(errors);

    auto first = NextAttributes(e, 3, S_FALSE);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(AnsiFromWide(first[0].szItemID), "Scale_COM1");
    EXPECT_EQ(AnsiFromWide(first[0].szAccessPath), "");
    EXPECT_EQ(first[0].bActive, FALSE);
    EXPECT_EQ(first[0].hClient, 31u);
    EXPECT_EQ(first[0].hServer, 2u);
    EXPECT_EQ(first[0].vtRequestedDataType, VT_I4);
    EXPECT_EQ(first[0].vtCanonicalDataType, VT_BSTR);
    EXPECT_EQ(first[0].dwAccessRights, 3u);
    EXPECT_EQ(first[0].dwEUType, OPC_NOENUM);
    EXPECT_EQ(Describe(first[0].vEUInfo), "I4:0");
    EXPECT_EQ(first[1].vtRequestedDataType, VT_BSTR) << "VT_EMPTY asks for the canonical type";
    EXPECT_EQ(first[1].bActive, TRUE);
    Free(first);

    OPCITEMATTRIBUTES* none = reinterpret_cast<OPCITEMATTRIBUTES*>(1);
    ULONG fetched = 7;
    EXPECT_EQ(e->Next(0, &none, &fetched), S_FALSE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(fetched, 0u);

    IEnumOPCItemAttributes* clone = nullptr;
    ASSERT_EQ(e->Clone(&clone), S_OK);
    auto again = NextAttributes(clone, 1, S_OK);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].hServer, 2u) << "a clone starts at the first record";
    Free(again);

    EXPECT_EQ(clone->Skip(5), S_FALSE);
    EXPECT_TRUE(NextAttributes(clone, 1, S_FALSE).empty());
    EXPECT_EQ(clone->Reset(), S_OK);
    EXPECT_EQ(clone->Skip(2), S_OK);
    clone->Release();

    e->Reset();
    CoTaskMemFailAfter(2); // the array and one string
    OPCITEMATTRIBUTES* a = reinterpret_cast<OPCITEMATTRIBUTES*>(1);
    EXPECT_EQ(e->Next(2, &a, &fetched), E_OUTOFMEMORY);
    EXPECT_EQ(a, nullptr);
    CoTaskMemFailAfter(-1);
    auto afterFailure = NextAttributes(e, 1, S_OK);
    ASSERT_EQ(afterFailure.size(), 1u);
    EXPECT_EQ(afterFailure[0].hServer, 2u) << "a failed Next does not move the cursor";
    Free(afterFailure);
    e->Release();
}
