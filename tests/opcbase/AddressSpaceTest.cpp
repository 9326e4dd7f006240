// Browsing and item properties of the server object, driven as a client
// drives them, over a real tag table.
#include "Globals.h"
#include "ItemPropIMPL.h"
#include "OpcBaseTestSupport.h"
#include "OpcContext.h"

#include <array>
#include <cmath>

namespace {

using Texts = std::vector<std::string>;
constexpr DATE kNow = 45000.75; // the context's clock, frozen

// The object that owns both parts, as the server object does.
class TTestServer final : public ComObject, public IUnknown {
public:
    explicit TTestServer(OpcContext& context) : browser_(*this, context), properties_(*this, context) {}
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown)
            return ComAnswer(static_cast<IUnknown*>(this), ppv);
        if (riid == IID_IOPCBrowseServerAddressSpace)
            return ComAnswer(static_cast<IOPCBrowseServerAddressSpace*>(&browser_), ppv);
        if (riid == IID_IOPCItemProperties)
            return ComAnswer(static_cast<IOPCItemProperties*>(&properties_), ppv);
        return E_NOINTERFACE;
    }

private:
    TOPCBrowser browser_;
    TOPCItemProp properties_;
};

class AddressSpace : public LeakCheckedTest {
protected:
    void SetUp() override
    {
        LeakCheckedTest::SetUp();
        for (const char* name : {"Scale_COM3", "Printer_COM1", "Waage_\xC2\xB5"})
            tags_.BindTag(name);
        tags_.Value(0).textValue = "12.5 kg";
        tags_.Value(1).textValue = "ready";
        context_.tags = &tags_;
        context_.localNow = [] { return kNow; };
        ComPtr<IUnknown> server(new TTestServer(context_));
        ASSERT_EQ(server.As(IID_IOPCBrowseServerAddressSpace, browser_), S_OK);
        ASSERT_EQ(server.As(IID_IOPCItemProperties, properties_), S_OK);
    }
    void TearDown() override
    {
        browser_.reset();
        properties_.reset();
        LeakCheckedTest::TearDown();
    }
    // BrowseOPCItemIDs; the names listed, or nullopt when no enumerator came.
    HRESULT browse(const std::string& criteria, Texts& names, VARTYPE type = VT_EMPTY, DWORD rights = 0,
                   OPCBROWSETYPE kind = OPC_FLAT)
    {
        std::u16string wide = U16FromAnsi(criteria);
        IEnumString* e = reinterpret_cast<IEnumString*>(0x1);
        const HRESULT hr = browser_->BrowseOPCItemIDs(kind, wide.c_str(), type, rights, &e);
        names.clear();
        enumerated_ = e != nullptr;
        if (e) {
            names = RemainingTexts(e);
            e->Release();
        }
        return hr;
    }
    static std::u16string W(const std::string& s) { return U16FromAnsi(s); }

    TTagTable tags_;
    OpcContext context_;
    ComPtr<IOPCBrowseServerAddressSpace> browser_;
    ComPtr<IOPCItemProperties> properties_;
    bool enumerated_ = false;
    const Texts all_{"Scale_COM3", "Printer_COM1", "Waage_\xC2\xB5"};
};

TEST_F(AddressSpace, PartsShareTheOwnersIdentityAndCount)
{
    ComPtr<IUnknown> viaBrowser, viaProperties;
    ASSERT_EQ(browser_.As(IID_IUnknown, viaBrowser), S_OK);
    ASSERT_EQ(properties_.As(IID_IUnknown, viaProperties), S_OK);
    EXPECT_EQ(viaBrowser.get(), viaProperties.get());
    const ULONG before = static_cast<TTestServer*>(viaBrowser.get())->RefCount();
    EXPECT_EQ(browser_->AddRef(), before + 1);
    EXPECT_EQ(properties_->Release(), before);
}

TEST_F(AddressSpace, FlatOrganizationWithoutPositions)
{
    OPCNAMESPACETYPE type{};
    EXPECT_EQ(browser_->QueryOrganization(&type), S_OK);
    EXPECT_EQ(type, OPC_NS_FLAT);
    for (auto dir : {OPC_BROWSE_UP, OPC_BROWSE_DOWN, OPC_BROWSE_TO})
        EXPECT_EQ(browser_->ChangeBrowsePosition(dir, u"Scale_COM3"), E_FAIL);
    IEnumString* e = reinterpret_cast<IEnumString*>(0x1);
    EXPECT_EQ(browser_->BrowseAccessPaths(u"Scale_COM3", &e), E_NOTIMPL);
    EXPECT_EQ(e, nullptr);
}

TEST_F(AddressSpace, EveryBrowseTypeListsEveryTagInTableOrder)
{
    Texts names;
    for (auto kind : {OPC_BRANCH, OPC_LEAF, OPC_FLAT}) {
        EXPECT_EQ(browse("", names, VT_EMPTY, 0, kind), S_OK);
        EXPECT_EQ(names, all_);
    }
    IEnumString* e = nullptr;
    ASSERT_EQ(browser_->BrowseOPCItemIDs(OPC_FLAT, nullptr, VT_EMPTY, 0, &e), S_OK);
    EXPECT_EQ(RemainingTexts(e), all_);
    e->Release();
}

TEST_F(AddressSpace, AccessRightsAndDataTypeFilters)
{
    Texts names;
    EXPECT_EQ(browse("", names, VT_EMPTY, 4), E_INVALIDARG);
    EXPECT_FALSE(enumerated_);
    EXPECT_EQ(browse("", names, VT_EMPTY, 1), S_OK); // every tag is writable
    EXPECT_TRUE(enumerated_);
    EXPECT_TRUE(names.empty());
    for (DWORD rights : {2u, 3u}) {
        EXPECT_EQ(browse("", names, VT_EMPTY, rights), S_OK);
        EXPECT_EQ(names, all_);
    }
    EXPECT_EQ(browse("", names, VT_I4), S_OK);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(browse("", names, VT_BSTR), S_OK);
    EXPECT_EQ(names, all_);
}

TEST_F(AddressSpace, FilterCriteria)
{
    Texts names;
    EXPECT_EQ(browse("*_com3", names), S_OK);
    EXPECT_EQ(names, (Texts{"Scale_COM3"}));
    EXPECT_EQ(browse("*_COM?", names), S_OK);
    EXPECT_EQ(names, (Texts{"Scale_COM3", "Printer_COM1"}));
    EXPECT_EQ(browse("WAAGE_?", names), S_OK);
    EXPECT_EQ(names, (Texts{"Waage_\xC2\xB5"}));
    EXPECT_EQ(browse("*_COM9", names), S_FALSE);
    EXPECT_TRUE(enumerated_);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(browse("*", names, VT_EMPTY, 1), S_FALSE); // the rights left nothing to match
    for (const char* bad : {"[", "[]", "*_COM[3"}) {
        EXPECT_EQ(browse(bad, names), OPC_E_INVALIDFILTER) << bad;
        EXPECT_FALSE(enumerated_);
    }
}

TEST_F(AddressSpace, EnumeratorIsASnapshot)
{
    IEnumString* e = nullptr;
    ASSERT_EQ(browser_->BrowseOPCItemIDs(OPC_FLAT, u"", VT_EMPTY, 0, &e), S_OK);
    tags_.BindTag("Late_COM9");
    EXPECT_EQ(RemainingTexts(e), all_);
    e->Release();
}

TEST_F(AddressSpace, EmptyTableAndNoTable)
{
    TTagTable empty;
    Texts names;
    for (TTagTable* table : {&empty, static_cast<TTagTable*>(nullptr)}) {
        context_.tags = table;
        EXPECT_EQ(browse("", names), S_OK);
        EXPECT_TRUE(enumerated_);
        EXPECT_TRUE(names.empty());
        EXPECT_EQ(browse("*", names), S_FALSE);
        EXPECT_EQ(browse("[]", names), OPC_E_INVALIDFILTER);
    }
}

TEST_F(AddressSpace, GetItemIdKnowsOnlyExactTagNames)
{
    const std::string longName(70, 'L');
    tags_.BindTag(longName);
    struct Case {
        std::string in;
        HRESULT hr;
    };
    for (const Case& c : {Case{"", S_OK}, Case{"Scale_COM3", S_OK}, Case{"Waage_\xC2\xB5", S_OK},
                          Case{longName.substr(0, 64), S_OK}, Case{"scale_com3", E_INVALIDARG},
                          Case{"Scale_COM", E_INVALIDARG}, Case{longName, E_INVALIDARG}}) {
        SCOPED_TRACE(c.in);
        std::u16string in = W(c.in);
        LPWSTR out = reinterpret_cast<LPWSTR>(0x1);
        EXPECT_EQ(browser_->GetItemID(in.data(), &out), c.hr);
        if (c.hr == S_OK) {
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(AnsiFromWide(out), c.in);
            CoTaskMemFree(out);
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    Texts names;
    browse("L*", names);
    EXPECT_EQ(names, (Texts{longName.substr(0, 64)}));
    CoTaskMemFailAfter(0);
    std::u16string in = W("Scale_COM3");
    LPWSTR out = reinterpret_cast<LPWSTR>(0x1);
    EXPECT_EQ(browser_->GetItemID(in.data(), &out), E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
}

// --- item properties ---

TEST_F(AddressSpace, AvailablePropertiesEndWithTheTagsOwn)
{
    std::u16string item = W("Waage_\xC2\xB5"); // handle 5002
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(properties_->QueryAvailableProperties(item.data(), &count, &ids, &descriptions, &types), S_OK);
    ASSERT_EQ(count, 7u);
    const std::array<DWORD, 7> wantIds{1, 2, 3, 4, 5, 6, 5002};
    const std::array<VARTYPE, 7> wantTypes{VT_I2, VT_VARIANT, VT_I2, VT_DATE, VT_I4, VT_R4, VT_BSTR};
    const std::array<const char*, 7> wantDescriptions{
        "Item Canonical Data Type", "Item Value", "Item Quality", "Item Timestamp", "Item Access Rights",
        "Server Scan Rate", "Waage_\xC2\xB5"};
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(ids[i], wantIds[i]);
        EXPECT_EQ(types[i], wantTypes[i]);
        EXPECT_EQ(AnsiFromWide(descriptions[i]), wantDescriptions[i]);
        CoTaskMemFree(descriptions[i]);
    }
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
}

TEST_F(AddressSpace, AvailablePropertiesOfNoItemOrWithoutMemory)
{
    DWORD count = 99;
    DWORD* ids = reinterpret_cast<DWORD*>(0x1);
    LPWSTR* descriptions = reinterpret_cast<LPWSTR*>(0x1);
    VARTYPE* types = reinterpret_cast<VARTYPE*>(0x1);
    for (const char* bad : {"", "scale_com3", "Nothing"}) {
        std::u16string item = W(bad);
        EXPECT_EQ(properties_->QueryAvailableProperties(item.data(), &count, &ids, &descriptions, &types),
                  OPC_E_INVALIDITEMID);
        EXPECT_EQ(count, 99u);
        EXPECT_TRUE(ids == nullptr && descriptions == nullptr && types == nullptr);
    }
    // Three arrays and seven descriptions: let each allocation fail in turn.
    std::u16string item = W("Scale_COM3");
    for (long successes = 0; successes < 10; ++successes) {
        SCOPED_TRACE(successes);
        CoTaskMemFailAfter(successes);
        count = 0;
        EXPECT_EQ(properties_->QueryAvailableProperties(item.data(), &count, &ids, &descriptions, &types),
                  E_OUTOFMEMORY);
        EXPECT_EQ(count, 7u);
        EXPECT_TRUE(ids == nullptr && descriptions == nullptr && types == nullptr);
        CoTaskMemFailAfter(-1);
        EXPECT_EQ(CoTaskMemLiveBlocks(), blocksBefore()) << "nothing may stay allocated";
    }
}

class ItemProperties : public AddressSpace {
protected:
    // GetItemProperties; describes each value and clears it.
    HRESULT get(const std::string& item, std::vector<DWORD> ids, std::vector<std::string>& values,
                std::vector<HRESULT>& errors)
    {
        std::u16string wide = W(item);
        VARIANT* data = reinterpret_cast<VARIANT*>(0x1);
        HRESULT* errs = reinterpret_cast<HRESULT*>(0x1);
        const HRESULT hr = properties_->GetItemProperties(wide.data(), static_cast<DWORD>(ids.size()), ids.data(),
                                                          &data, &errs);
        values.clear();
        errors.clear();
        if (FAILED(hr)) {
            EXPECT_TRUE(data == nullptr && errs == nullptr);
            return hr;
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            values.push_back(Describe(data[i]));
            errors.push_back(errs[i]);
            VariantClear(&data[i]);
        }
        CoTaskMemFree(data);
        CoTaskMemFree(errs);
        return hr;
    }
    // LookupItemIDs; the item IDs, freed.
    HRESULT lookup(const std::string& item, std::vector<DWORD> ids, Texts& itemIds, std::vector<HRESULT>& errors)
    {
        std::u16string wide = W(item);
        LPWSTR* out = reinterpret_cast<LPWSTR*>(0x1);
        HRESULT* errs = reinterpret_cast<HRESULT*>(0x1);
        const HRESULT hr =
            properties_->LookupItemIDs(wide.data(), static_cast<DWORD>(ids.size()), ids.data(), &out, &errs);
        itemIds.clear();
        errors.clear();
        if (FAILED(hr)) {
            EXPECT_TRUE(out == nullptr && errs == nullptr);
            return hr;
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            EXPECT_NE(out[i], nullptr) << "an empty item ID is still a string";
            itemIds.push_back(AnsiFromWide(out[i]));
            errors.push_back(errs[i]);
            CoTaskMemFree(out[i]);
        }
        CoTaskMemFree(out);
        CoTaskMemFree(errs);
        return hr;
    }
    static std::string Describe(const VARIANT& v)
    {
        switch (v.vt) {
        case VT_EMPTY: return "EMPTY";
        case VT_I2: return "I2:" + std::to_string(v.iVal);
        case VT_I4: return "I4:" + std::to_string(v.lVal);
        case VT_R4: return "R4:" + std::to_string(v.fltVal);
        case VT_DATE: return v.date == kNow ? "DATE:now" : "DATE:other";
        case VT_BSTR: return "BSTR:" + AnsiFromBstr(v.bstrVal);
        default: return "vt " + std::to_string(v.vt);
        }
    }
    std::vector<std::string> values_;
    std::vector<HRESULT> errors_;
};

TEST_F(ItemProperties, StandardPropertiesOfATag)
{
    EXPECT_EQ(get("Scale_COM3", {1, 3, 5, 6, 4}, values_, errors_), S_OK);
    EXPECT_EQ(values_, (std::vector<std::string>{"I2:8", "I2:192", "I4:3", "R4:6.000000", "DATE:now"}));
    EXPECT_EQ(errors_, std::vector<HRESULT>(5, S_OK));
}

TEST_F(ItemProperties, UnknownPropertyIdsFailEntryByEntry)
{
    EXPECT_EQ(get("Scale_COM3", {2, 99}, values_, errors_), S_FALSE);
    EXPECT_EQ(values_, (std::vector<std::string>{"BSTR:12.5 kg", "EMPTY"}));
    EXPECT_EQ(errors_, (std::vector<HRESULT>{S_OK, OPC_E_INVALID_PID}));
    // Vendor IDs read any tag's text; handles that no tag has, the reserved
    // and the other ranges are unknown.
    EXPECT_EQ(get("Scale_COM3", {5001, 5002, 5000, 0, 7, 100, 4999, 5003, 5999}, values_, errors_), S_FALSE);
    EXPECT_EQ(values_, (std::vector<std::string>{"BSTR:ready", "BSTR:", "BSTR:12.5 kg", "EMPTY", "EMPTY", "EMPTY",
                                                 "EMPTY", "EMPTY", "EMPTY"}));
    EXPECT_EQ(errors_, (std::vector<HRESULT>{S_OK, S_OK, S_OK, OPC_E_INVALID_PID, OPC_E_INVALID_PID,
                                             OPC_E_INVALID_PID, OPC_E_INVALID_PID, OPC_E_INVALID_PID,
                                             OPC_E_INVALID_PID}));
}

TEST_F(ItemProperties, VendorIdsStopAtTheEndOfTheirRange)
{
    for (int i = 3; i <= 1000; ++i)
        tags_.BindTag("T" + std::to_string(i)); // handles up to 6000
    tags_.Value(999).textValue = "last";
    EXPECT_EQ(get("T1000", {5999, 6000}, values_, errors_), S_FALSE);
    EXPECT_EQ(values_, (std::vector<std::string>{"BSTR:last", "EMPTY"}));
    EXPECT_EQ(errors_, (std::vector<HRESULT>{S_OK, OPC_E_INVALID_PID}));
}

TEST_F(ItemProperties, ChecksRunInOrder)
{
    struct Case {
        std::string item;
        std::vector<DWORD> ids;
        HRESULT hr;
    };
    for (const Case& c : {Case{"", {}, OPC_E_INVALIDITEMID}, Case{"", {1}, OPC_E_INVALIDITEMID},
                          Case{"Nothing", {}, E_INVALIDARG}, Case{"Scale_COM3", {}, E_INVALIDARG},
                          Case{"Nothing", {1}, OPC_E_INVALIDITEMID}, Case{"SCALE_COM3", {1}, OPC_E_INVALIDITEMID}}) {
        SCOPED_TRACE(c.item);
        Texts itemIds;
        EXPECT_EQ(get(c.item, c.ids, values_, errors_), c.hr);
        EXPECT_EQ(lookup(c.item, c.ids, itemIds, errors_), c.hr);
    }
}

TEST_F(ItemProperties, LookupGivesOnlyTheItemItself)
{
    Texts itemIds;
    EXPECT_EQ(lookup("Waage_\xC2\xB5", {1, 5002}, itemIds, errors_), S_FALSE);
    EXPECT_EQ(itemIds, (Texts{"", "Waage_\xC2\xB5"}));
    EXPECT_EQ(errors_, (std::vector<HRESULT>{OPC_E_INVALID_PID, S_OK}));
    EXPECT_EQ(lookup("Printer_COM1", {5001}, itemIds, errors_), S_OK);
    EXPECT_EQ(lookup("Printer_COM1", {0, 6, 7, 5000, 5002}, itemIds, errors_), S_FALSE);
    EXPECT_EQ(itemIds, Texts(5, ""));
    EXPECT_EQ(errors_, std::vector<HRESULT>(5, OPC_E_INVALID_PID));
}

TEST_F(ItemProperties, ValueRecordsGoneFailTheirEntries)
{
    tags_.FreeValueRecords();
    EXPECT_EQ(get("Scale_COM3", {2, 5001, 3}, values_, errors_), S_FALSE);
    EXPECT_EQ(values_, (std::vector<std::string>{"EMPTY", "EMPTY", "I2:192"}));
    EXPECT_EQ(errors_, (std::vector<HRESULT>{E_FAIL, E_FAIL, S_OK}));
}

TEST_F(ItemProperties, OutOfMemoryLeavesNothingAllocated)
{
    Texts itemIds;
    for (long successes = 0; successes < 2; ++successes) {
        CoTaskMemFailAfter(successes);
        EXPECT_EQ(get("Scale_COM3", {1, 2}, values_, errors_), E_OUTOFMEMORY);
    }
    // Two arrays, then one string per ID.
    for (long successes = 0; successes < 5; ++successes) {
        CoTaskMemFailAfter(successes);
        EXPECT_EQ(lookup("Scale_COM3", {1, 5000, 3}, itemIds, errors_), E_OUTOFMEMORY);
    }
}

} // namespace
