// The interface parts of a proxy: each method marshals its in-parameters,
// calls the remote method and turns the reply into COM out-parameters from
// the task allocator. Replies are checked against the interface description
// before they are read (ProxyCore::Invoke); array lengths are checked here.
#include "OpcClient.h"
#include "Proxy.h"
#include "TaskMem.h"
#include "Wire.h"

#include <QDBusMessage>
#include <QDBusObjectPath>

#include <cstring>
#include <vector>

namespace opcclient {

using namespace opcdbus;

namespace {

QVariant U(quint32 v) { return QVariant::fromValue<uint>(v); }
QVariant I(qint32 v) { return QVariant::fromValue<int>(v); }
QVariant Q(quint16 v) { return QVariant::fromValue<ushort>(v); }
template <typename T> QVariant L(const QList<T>& l) { return QVariant::fromValue(l); }
QString PathOf(const QVariant& v) { return v.value<QDBusObjectPath>().path(); }

// An optional in-pointer as an array of 0 or 1 elements.
template <typename T, typename W = T> QVariant Opt(const T* p)
{
    QList<W> l;
    if (p)
        l.push_back(static_cast<W>(*p));
    return QVariant::fromValue(l);
}

template <typename T> QList<uint> Handles(DWORD n, const T* p) { return p ? QList<uint>(p, p + n) : QList<uint>(); }

// A task-allocator array of n elements copied from l, or an error when l
// does not have n elements or memory is short.
template <typename T, typename W> HRESULT TaskCopy(const QList<W>& l, DWORD n, T** out)
{
    *out = nullptr;
    if (l.size() != static_cast<qsizetype>(n))
        return RPC_E_INVALID_DATA_CODE;
    if (n == 0)
        return S_OK;
    auto* p = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * n));
    if (!p)
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i)
        p[i] = static_cast<T>(l[static_cast<qsizetype>(i)]);
    *out = p;
    return S_OK;
}

HRESULT TaskStrings(const QStringList& l, DWORD n, LPWSTR** out)
{
    *out = nullptr;
    if (l.size() != static_cast<qsizetype>(n))
        return RPC_E_INVALID_DATA_CODE;
    if (n == 0)
        return S_OK;
    auto* p = static_cast<LPWSTR*>(CoTaskMemAlloc(sizeof(LPWSTR) * n));
    if (!p)
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i) {
        p[i] = TaskWide(l[static_cast<qsizetype>(i)]);
        if (!p[i]) {
            for (DWORD j = 0; j < i; ++j)
                CoTaskMemFree(p[j]);
            CoTaskMemFree(p);
            return E_OUTOFMEMORY;
        }
    }
    *out = p;
    return S_OK;
}

// The errors array of a reply at index i, n long.
HRESULT Errors(const QVariantList& o, int i, DWORD n, HRESULT** out)
{
    return TaskCopy<HRESULT>(ListArg<int>(o.at(i)), n, out);
}

// A VARIANT array (each cleared, then the array freed by the receiver).
HRESULT TaskVariants(const QList<WireVariant>& l, DWORD n, VARIANT** out)
{
    *out = nullptr;
    if (l.size() != static_cast<qsizetype>(n))
        return RPC_E_INVALID_DATA_CODE;
    if (n == 0)
        return S_OK;
    auto* p = static_cast<VARIANT*>(CoTaskMemAlloc(sizeof(VARIANT) * n));
    if (!p)
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i) {
        const HRESULT hr = VariantFromWire(l[static_cast<qsizetype>(i)], &p[i]);
        if (FAILED(hr)) {
            for (DWORD j = 0; j < i; ++j)
                VariantClear(&p[j]);
            CoTaskMemFree(p);
            return RPC_E_INVALID_DATA_CODE;
        }
    }
    *out = p;
    return S_OK;
}

QList<WireVariant> WireValues(DWORD n, const VARIANT* v, HRESULT& hr)
{
    QList<WireVariant> l;
    hr = S_OK;
    for (DWORD i = 0; i < n; ++i) {
        WireVariant w;
        if (FAILED(VariantToWire(v[i], w)))
            hr = DISP_E_BADVARTYPE;
        l.push_back(w);
    }
    return l;
}

// Frees what a successful call handed out when a later step fails.
template <typename... P> void FreeAll(P*... p) { (CoTaskMemFree(p), ...); }

// ------------------------------------------------------------ IOPCServer

class ServerPart final : public Part<IOPCServer> {
public:
    using Part::Part;
    HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                     LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                     DWORD* pRevisedUpdateRate, REFIID riid, IUnknown** ppUnk) override
    {
        if (!phServerGroup || !pRevisedUpdateRate || !ppUnk)
            return E_POINTER;
        *ppUnk = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCServer", "AddGroup",
                                        {FromWide(szName), I(bActive), U(dwRequestedUpdateRate), U(hClientGroup),
                                         Opt<LONG, int>(pTimeBias), Opt<FLOAT, double>(pPercentDeadband), U(dwLCID),
                                         GuidText(riid)},
                                        o);
        if (FAILED(hr))
            return hr;
        *phServerGroup = o.at(1).toUInt();
        *pRevisedUpdateRate = o.at(2).toUInt();
        const HRESULT q = core_.AdoptPath(PathOf(o.at(3)), riid, reinterpret_cast<void**>(ppUnk));
        return FAILED(q) ? q : hr;
    }
    HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override
    {
        if (!ppString)
            return E_POINTER;
        *ppString = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCServer", "GetErrorString", {I(dwError), U(dwLocale)}, o);
        if (FAILED(hr))
            return hr;
        *ppString = TaskWide(o.at(1).toString());
        return *ppString ? hr : E_OUTOFMEMORY;
    }
    HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override
    {
        if (!ppUnk)
            return E_POINTER;
        *ppUnk = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCServer", "GetGroupByName", {FromWide(szName), GuidText(riid)}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), riid, reinterpret_cast<void**>(ppUnk));
        return FAILED(q) ? q : hr;
    }
    HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override
    {
        if (!ppServerStatus)
            return E_POINTER;
        *ppServerStatus = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCServer", "GetStatus", {}, o);
        if (FAILED(hr))
            return hr;
        auto* s = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
        if (!s)
            return E_OUTOFMEMORY;
        const HRESULT c = ServerStatusFromWire(StructArg<WireServerStatus>(o.at(1)), *s);
        if (FAILED(c)) {
            CoTaskMemFree(s);
            return c;
        }
        *ppServerStatus = s;
        return hr;
    }
    HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override
    {
        QVariantList o;
        return core_.Invoke("opc.IOPCServer", "RemoveGroup", {U(hServerGroup), I(bForce)}, o);
    }
    HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) override
    {
        if (!ppUnk)
            return E_POINTER;
        *ppUnk = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCServer", "CreateGroupEnumerator", {U(dwScope), GuidText(riid)}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), riid, reinterpret_cast<void**>(ppUnk));
        return FAILED(q) ? q : hr;
    }
};

// ------------------------------------------------------------ IOPCCommon

class CommonPart final : public Part<IOPCCommon> {
public:
    using Part::Part;
    HRESULT SetLocaleID(LCID dwLcid) override
    {
        QVariantList o;
        return core_.Invoke("opc.IOPCCommon", "SetLocaleID", {U(dwLcid)}, o);
    }
    HRESULT GetLocaleID(LCID* pdwLcid) override
    {
        if (!pdwLcid)
            return E_POINTER;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCCommon", "GetLocaleID", {}, o);
        if (SUCCEEDED(hr))
            *pdwLcid = o.at(1).toUInt();
        return hr;
    }
    HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override
    {
        if (!pdwCount || !pdwLcid)
            return E_POINTER;
        *pdwCount = 0;
        *pdwLcid = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCCommon", "QueryAvailableLocaleIDs", {}, o);
        if (FAILED(hr))
            return hr;
        const DWORD n = o.at(1).toUInt();
        const HRESULT c = TaskCopy<LCID>(ListArg<uint>(o.at(2)), n, pdwLcid);
        if (FAILED(c))
            return c;
        *pdwCount = n;
        return hr;
    }
    HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) override
    {
        if (!ppString)
            return E_POINTER;
        *ppString = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCCommon", "GetErrorString", {I(dwError)}, o);
        if (FAILED(hr))
            return hr;
        *ppString = TaskWide(o.at(1).toString());
        return *ppString ? hr : E_OUTOFMEMORY;
    }
    HRESULT SetClientName(LPCWSTR szName) override
    {
        QVariantList o;
        return core_.Invoke("opc.IOPCCommon", "SetClientName", {FromWide(szName)}, o);
    }
};

// ------------------------------------------------------------ IOPCBrowseServerAddressSpace

class BrowsePart final : public Part<IOPCBrowseServerAddressSpace> {
public:
    using Part::Part;
    HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override
    {
        if (!pNameSpaceType)
            return E_POINTER;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCBrowseServerAddressSpace", "QueryOrganization", {}, o);
        if (SUCCEEDED(hr))
            *pNameSpaceType = static_cast<OPCNAMESPACETYPE>(o.at(1).toUInt());
        return hr;
    }
    HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override
    {
        QVariantList o;
        return core_.Invoke("opc.IOPCBrowseServerAddressSpace", "ChangeBrowsePosition",
                            {U(dwBrowseDirection), FromWide(szString)}, o);
    }
    HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                             DWORD dwAccessRightsFilter, IEnumString** ppIEnumString) override
    {
        if (!ppIEnumString)
            return E_POINTER;
        *ppIEnumString = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCBrowseServerAddressSpace", "BrowseOPCItemIDs",
                                        {U(dwBrowseFilterType), FromWide(szFilterCriteria), Q(vtDataTypeFilter),
                                         U(dwAccessRightsFilter)},
                                        o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), IID_IEnumString, reinterpret_cast<void**>(ppIEnumString));
        return FAILED(q) ? q : hr;
    }
    HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override
    {
        if (!szItemID)
            return E_POINTER;
        *szItemID = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCBrowseServerAddressSpace", "GetItemID", {FromWide(szItemDataID)}, o);
        if (FAILED(hr))
            return hr;
        *szItemID = TaskWide(o.at(1).toString());
        return *szItemID ? hr : E_OUTOFMEMORY;
    }
    HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override
    {
        if (!ppIEnumString)
            return E_POINTER;
        *ppIEnumString = nullptr;
        QVariantList o;
        const HRESULT hr =
            core_.Invoke("opc.IOPCBrowseServerAddressSpace", "BrowseAccessPaths", {FromWide(szItemID)}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), IID_IEnumString, reinterpret_cast<void**>(ppIEnumString));
        return FAILED(q) ? q : hr;
    }
};

// ------------------------------------------------------------ IOPCItemProperties

class PropertiesPart final : public Part<IOPCItemProperties> {
public:
    using Part::Part;
    HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                     LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override
    {
        if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes)
            return E_POINTER;
        *pdwCount = 0;
        *ppPropertyIDs = nullptr;
        *ppDescriptions = nullptr;
        *ppvtDataTypes = nullptr;
        QVariantList o;
        const HRESULT hr =
            core_.Invoke("opc.IOPCItemProperties", "QueryAvailableProperties", {FromWide(szItemID)}, o);
        if (FAILED(hr))
            return hr;
        const DWORD n = o.at(1).toUInt();
        DWORD* ids = nullptr;
        LPWSTR* texts = nullptr;
        VARTYPE* types = nullptr;
        HRESULT c = TaskCopy<DWORD>(ListArg<uint>(o.at(2)), n, &ids);
        if (SUCCEEDED(c))
            c = TaskStrings(o.at(3).toStringList(), n, &texts);
        if (SUCCEEDED(c))
            c = TaskCopy<VARTYPE>(ListArg<ushort>(o.at(4)), n, &types);
        if (FAILED(c)) {
            if (texts)
                for (DWORD i = 0; i < n; ++i)
                    CoTaskMemFree(texts[i]);
            FreeAll(ids, texts, types);
            return c;
        }
        *pdwCount = n;
        *ppPropertyIDs = ids;
        *ppDescriptions = texts;
        *ppvtDataTypes = types;
        return hr;
    }
    HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                              HRESULT** ppErrors) override
    {
        if (!ppvData || !ppErrors)
            return E_POINTER;
        *ppvData = nullptr;
        *ppErrors = nullptr;
        if (dwCount && !pdwPropertyIDs)
            return E_INVALIDARG;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCItemProperties", "GetItemProperties",
                                        {FromWide(szItemID), U(dwCount), L(Handles(dwCount, pdwPropertyIDs))}, o);
        if (FAILED(hr))
            return hr;
        VARIANT* values = nullptr;
        HRESULT* errors = nullptr;
        HRESULT c = TaskVariants(ListArg<WireVariant>(o.at(1)), dwCount, &values);
        if (SUCCEEDED(c))
            c = Errors(o, 2, dwCount, &errors);
        if (FAILED(c)) {
            if (values)
                for (DWORD i = 0; i < dwCount; ++i)
                    VariantClear(&values[i]);
            FreeAll(values, errors);
            return c;
        }
        *ppvData = values;
        *ppErrors = errors;
        return hr;
    }
    HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                          HRESULT** ppErrors) override
    {
        if (!ppszNewItemIDs || !ppErrors)
            return E_POINTER;
        *ppszNewItemIDs = nullptr;
        *ppErrors = nullptr;
        if (dwCount && !pdwPropertyIDs)
            return E_INVALIDARG;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCItemProperties", "LookupItemIDs",
                                        {FromWide(szItemID), U(dwCount), L(Handles(dwCount, pdwPropertyIDs))}, o);
        if (FAILED(hr))
            return hr;
        LPWSTR* ids = nullptr;
        HRESULT* errors = nullptr;
        HRESULT c = TaskStrings(o.at(1).toStringList(), dwCount, &ids);
        if (SUCCEEDED(c))
            c = Errors(o, 2, dwCount, &errors);
        if (FAILED(c)) {
            if (ids)
                for (DWORD i = 0; i < dwCount; ++i)
                    CoTaskMemFree(ids[i]);
            FreeAll(ids, errors);
            return c;
        }
        *ppszNewItemIDs = ids;
        *ppErrors = errors;
        return hr;
    }
};

// ------------------------------------------------------------ IOPCGroupStateMgt

class StatePart final : public Part<IOPCGroupStateMgt> {
public:
    using Part::Part;
    HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias, FLOAT* pPercentDeadband,
                     DWORD* pLCID, OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override
    {
        if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID || !phClientGroup ||
            !phServerGroup)
            return E_POINTER;
        *ppName = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCGroupStateMgt", "GetState", {}, o);
        if (FAILED(hr))
            return hr;
        LPWSTR name = TaskWide(o.at(3).toString());
        if (!name)
            return E_OUTOFMEMORY;
        *pUpdateRate = o.at(1).toUInt();
        *pActive = o.at(2).toInt();
        *ppName = name;
        *pTimeBias = o.at(4).toInt();
        *pPercentDeadband = static_cast<FLOAT>(o.at(5).toDouble());
        *pLCID = o.at(6).toUInt();
        *phClientGroup = o.at(7).toUInt();
        *phServerGroup = o.at(8).toUInt();
        return hr;
    }
    HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                     FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) override
    {
        if (!pRevisedUpdateRate)
            return E_POINTER;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCGroupStateMgt", "SetState",
                                        {Opt<DWORD, uint>(pRequestedUpdateRate), Opt<BOOL, int>(pActive),
                                         Opt<LONG, int>(pTimeBias), Opt<FLOAT, double>(pPercentDeadband),
                                         Opt<DWORD, uint>(pLCID), Opt<OPCHANDLE, uint>(phClientGroup)},
                                        o);
        if (SUCCEEDED(hr))
            *pRevisedUpdateRate = o.at(1).toUInt();
        return hr;
    }
    HRESULT SetName(LPCWSTR szName) override
    {
        QVariantList o;
        return core_.Invoke("opc.IOPCGroupStateMgt", "SetName", {FromWide(szName)}, o);
    }
    HRESULT CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override
    {
        if (!ppUnk)
            return E_POINTER;
        *ppUnk = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCGroupStateMgt", "CloneGroup", {FromWide(szName), GuidText(riid)}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), riid, reinterpret_cast<void**>(ppUnk));
        return FAILED(q) ? q : hr;
    }
};

// ------------------------------------------------------------ IOPCItemMgt

QList<WireItemDef> Defs(DWORD n, const OPCITEMDEF* defs)
{
    QList<WireItemDef> l;
    for (DWORD i = 0; i < n; ++i)
        l.push_back(ItemDefToWire(defs[i]));
    return l;
}

HRESULT ItemResults(const QVariantList& o, DWORD n, OPCITEMRESULT** ppResults, HRESULT** ppErrors)
{
    const QList<WireItemResult> wire = ListArg<WireItemResult>(o.at(1));
    if (wire.size() != static_cast<qsizetype>(n))
        return RPC_E_INVALID_DATA_CODE;
    HRESULT* errors = nullptr;
    HRESULT c = Errors(o, 2, n, &errors);
    if (FAILED(c))
        return c;
    OPCITEMRESULT* results = nullptr;
    if (n) {
        results = static_cast<OPCITEMRESULT*>(CoTaskMemAlloc(sizeof(OPCITEMRESULT) * n));
        if (!results) {
            CoTaskMemFree(errors);
            return E_OUTOFMEMORY;
        }
        for (DWORD i = 0; i < n; ++i) {
            c = ItemResultFromWire(wire[static_cast<qsizetype>(i)], results[i]);
            if (FAILED(c)) {
                for (DWORD j = 0; j < i; ++j)
                    FreeItemResult(results[j]);
                FreeAll(results, errors);
                return c == E_INVALIDARG ? RPC_E_INVALID_DATA_CODE : c;
            }
        }
    }
    *ppResults = results;
    *ppErrors = errors;
    return S_OK;
}

class ItemMgtPart final : public Part<IOPCItemMgt> {
public:
    using Part::Part;
    HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override
    {
        return addOrValidate("AddItems", dwCount, pItemArray, nullptr, ppAddResults, ppErrors);
    }
    HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate, OPCITEMRESULT** ppValidationResults,
                          HRESULT** ppErrors) override
    {
        return addOrValidate("ValidateItems", dwCount, pItemArray, &bBlobUpdate, ppValidationResults, ppErrors);
    }
    HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override
    {
        return errorsOnly("RemoveItems", dwCount, phServer, {}, ppErrors);
    }
    HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override
    {
        return errorsOnly("SetActiveState", dwCount, phServer, {I(bActive)}, ppErrors);
    }
    HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) override
    {
        if (dwCount && !phClient)
            return E_INVALIDARG;
        return errorsOnly("SetClientHandles", dwCount, phServer, {L(Handles(dwCount, phClient))}, ppErrors);
    }
    HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) override
    {
        if (dwCount && !pRequestedDatatypes)
            return E_INVALIDARG;
        QList<ushort> types;
        for (DWORD i = 0; i < dwCount; ++i)
            types.push_back(pRequestedDatatypes[i]);
        return errorsOnly("SetDatatypes", dwCount, phServer, {L(types)}, ppErrors);
    }
    HRESULT CreateEnumerator(REFIID riid, IUnknown** ppUnk) override
    {
        if (!ppUnk)
            return E_POINTER;
        *ppUnk = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCItemMgt", "CreateEnumerator", {GuidText(riid)}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), riid, reinterpret_cast<void**>(ppUnk));
        return FAILED(q) ? q : hr;
    }

private:
    HRESULT addOrValidate(const char* member, DWORD n, OPCITEMDEF* defs, const BOOL* blobUpdate,
                          OPCITEMRESULT** ppResults, HRESULT** ppErrors)
    {
        if (!ppResults || !ppErrors)
            return E_POINTER;
        *ppResults = nullptr;
        *ppErrors = nullptr;
        if (n && !defs)
            return E_INVALIDARG;
        QVariantList args{U(n), L(Defs(n, defs))};
        if (blobUpdate)
            args.push_back(I(*blobUpdate));
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCItemMgt", member, args, o);
        if (FAILED(hr))
            return hr;
        const HRESULT c = ItemResults(o, n, ppResults, ppErrors);
        return FAILED(c) ? c : hr;
    }
    HRESULT errorsOnly(const char* member, DWORD n, OPCHANDLE* handles, const QVariantList& rest, HRESULT** ppErrors)
    {
        if (!ppErrors)
            return E_POINTER;
        *ppErrors = nullptr;
        if (n && !handles)
            return E_INVALIDARG;
        QVariantList args{U(n), L(Handles(n, handles))};
        args += rest;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCItemMgt", member, args, o);
        if (FAILED(hr))
            return hr;
        const HRESULT c = Errors(o, 1, n, ppErrors);
        return FAILED(c) ? c : hr;
    }
};

// ------------------------------------------------------------ IOPCSyncIO

class SyncPart final : public Part<IOPCSyncIO> {
public:
    using Part::Part;
    HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                 HRESULT** ppErrors) override
    {
        if (!ppItemValues || !ppErrors)
            return E_POINTER;
        *ppItemValues = nullptr;
        *ppErrors = nullptr;
        if (dwCount && !phServer)
            return E_INVALIDARG;
        QVariantList o;
        const HRESULT hr =
            core_.Invoke("opc.IOPCSyncIO", "Read", {U(dwSource), U(dwCount), L(Handles(dwCount, phServer))}, o);
        if (FAILED(hr))
            return hr;
        const QList<WireItemState> wire = ListArg<WireItemState>(o.at(1));
        if (wire.size() != static_cast<qsizetype>(dwCount))
            return RPC_E_INVALID_DATA_CODE;
        HRESULT* errors = nullptr;
        HRESULT c = Errors(o, 2, dwCount, &errors);
        if (FAILED(c))
            return c;
        OPCITEMSTATE* states = nullptr;
        if (dwCount) {
            states = static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(sizeof(OPCITEMSTATE) * dwCount));
            if (!states) {
                CoTaskMemFree(errors);
                return E_OUTOFMEMORY;
            }
            for (DWORD i = 0; i < dwCount; ++i) {
                c = ItemStateFromWire(wire[static_cast<qsizetype>(i)], states[i]);
                if (FAILED(c)) {
                    for (DWORD j = 0; j < i; ++j)
                        FreeItemState(states[j]);
                    FreeAll(states, errors);
                    return RPC_E_INVALID_DATA_CODE;
                }
            }
        }
        *ppItemValues = states;
        *ppErrors = errors;
        return hr;
    }
    HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override
    {
        if (!ppErrors)
            return E_POINTER;
        *ppErrors = nullptr;
        if (dwCount && (!phServer || !pItemValues))
            return E_INVALIDARG;
        HRESULT bad = S_OK;
        const QList<WireVariant> values = WireValues(dwCount, pItemValues, bad);
        if (FAILED(bad))
            return bad;
        QVariantList o;
        const HRESULT hr =
            core_.Invoke("opc.IOPCSyncIO", "Write", {U(dwCount), L(Handles(dwCount, phServer)), L(values)}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT c = Errors(o, 1, dwCount, ppErrors);
        return FAILED(c) ? c : hr;
    }
};

// ------------------------------------------------------------ IOPCAsyncIO2

class AsyncPart final : public Part<IOPCAsyncIO2> {
public:
    using Part::Part;
    HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                 HRESULT** ppErrors) override
    {
        if (!pdwCancelID || !ppErrors)
            return E_POINTER;
        *ppErrors = nullptr;
        if (dwCount && !phServer)
            return E_INVALIDARG;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCAsyncIO2", "Read",
                                        {U(dwCount), L(Handles(dwCount, phServer)), U(dwTransactionID)}, o);
        return finish(hr, o, dwCount, pdwCancelID, ppErrors);
    }
    HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID, DWORD* pdwCancelID,
                  HRESULT** ppErrors) override
    {
        if (!pdwCancelID || !ppErrors)
            return E_POINTER;
        *ppErrors = nullptr;
        if (dwCount && (!phServer || !pItemValues))
            return E_INVALIDARG;
        HRESULT bad = S_OK;
        const QList<WireVariant> values = WireValues(dwCount, pItemValues, bad);
        if (FAILED(bad))
            return bad;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCAsyncIO2", "Write",
                                        {U(dwCount), L(Handles(dwCount, phServer)), L(values), U(dwTransactionID)}, o);
        return finish(hr, o, dwCount, pdwCancelID, ppErrors);
    }
    HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override
    {
        if (!pdwCancelID)
            return E_POINTER;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCAsyncIO2", "Refresh2", {U(dwSource), U(dwTransactionID)}, o);
        if (SUCCEEDED(hr))
            *pdwCancelID = o.at(1).toUInt();
        return hr;
    }
    HRESULT Cancel2(DWORD dwCancelID) override
    {
        QVariantList o;
        return core_.Invoke("opc.IOPCAsyncIO2", "Cancel2", {U(dwCancelID)}, o);
    }
    HRESULT SetEnable(BOOL bEnable) override
    {
        QVariantList o;
        return core_.Invoke("opc.IOPCAsyncIO2", "SetEnable", {I(bEnable)}, o);
    }
    HRESULT GetEnable(BOOL* pbEnable) override
    {
        if (!pbEnable)
            return E_POINTER;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IOPCAsyncIO2", "GetEnable", {}, o);
        if (SUCCEEDED(hr))
            *pbEnable = o.at(1).toInt();
        return hr;
    }

private:
    static HRESULT finish(HRESULT hr, const QVariantList& o, DWORD n, DWORD* pdwCancelID, HRESULT** ppErrors)
    {
        if (FAILED(hr))
            return hr;
        const HRESULT c = Errors(o, 2, n, ppErrors);
        if (FAILED(c))
            return c;
        *pdwCancelID = o.at(1).toUInt();
        return hr;
    }
};

// ------------------------------------------------------------ connection points

class ContainerPart final : public Part<IConnectionPointContainer> {
public:
    using Part::Part;
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IConnectionPointContainer", "EnumConnectionPoints", {}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), IID_IEnumConnectionPoints, reinterpret_cast<void**>(ppEnum));
        return FAILED(q) ? q : hr;
    }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override
    {
        if (!ppCP)
            return E_POINTER;
        *ppCP = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IConnectionPointContainer", "FindConnectionPoint", {GuidText(riid)}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), IID_IConnectionPoint, reinterpret_cast<void**>(ppCP));
        return FAILED(q) ? q : hr;
    }
};

class PointPart final : public Part<IConnectionPoint> {
public:
    using Part::Part;
    HRESULT GetConnectionInterface(IID* pIID) override
    {
        if (!pIID)
            return E_POINTER;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IConnectionPoint", "GetConnectionInterface", {}, o);
        if (FAILED(hr))
            return hr;
        const auto iid = GuidFromText(o.at(1).toString());
        if (!iid)
            return RPC_E_INVALID_DATA_CODE;
        *pIID = *iid;
        return hr;
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override
    {
        if (!ppCPC)
            return E_POINTER;
        *ppCPC = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IConnectionPoint", "GetConnectionPointContainer", {}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q =
            core_.AdoptPath(PathOf(o.at(1)), IID_IConnectionPointContainer, reinterpret_cast<void**>(ppCPC));
        return FAILED(q) ? q : hr;
    }
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override
    {
        if (!pdwCookie)
            return E_POINTER;
        *pdwCookie = 0;
        if (!pUnkSink)
            return E_POINTER;
        const QString sink = ExportSink(core_.Connection(), core_.Service(), pUnkSink);
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IConnectionPoint", "Advise", {QVariant::fromValue(QDBusObjectPath(sink))}, o);
        if (o.isEmpty()) {
            // Never reached the server: nobody else will release the export.
            DropSink(sink);
            return hr;
        }
        // Reached it: the server's wrapper gives the reference back when it
        // goes (at once when Advise failed there).
        if (SUCCEEDED(hr))
            *pdwCookie = o.at(1).toUInt();
        return hr;
    }
    HRESULT Unadvise(DWORD dwCookie) override
    {
        QVariantList o;
        return core_.Invoke("opc.IConnectionPoint", "Unadvise", {U(dwCookie)}, o);
    }
    HRESULT EnumConnections(IEnumConnections** ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IConnectionPoint", "EnumConnections", {}, o);
        return FAILED(hr) ? hr : E_NOTIMPL;
    }
};

// ------------------------------------------------------------ enumerators

// Next of the enumerators whose elements are objects or strings.
template <typename IEnum, typename Elem, const char* Name, const IID& ElemIid, const IID& SelfIid>
class EnumPart final : public Part<IEnum> {
public:
    using Part<IEnum>::Part;
    using Part<IEnum>::core_;
    HRESULT Next(ULONG celt, Elem* rgelt, ULONG* pceltFetched) override
    {
        if (!rgelt || (celt > 1 && !pceltFetched))
            return E_POINTER;
        if (pceltFetched)
            *pceltFetched = 0;
        QVariantList o;
        const HRESULT hr = core_.Invoke(Name, "Next", {U(celt)}, o);
        if (FAILED(hr))
            return hr;
        ULONG fetched = o.at(2).toUInt();
        if (fetched > celt)
            return RPC_E_INVALID_DATA_CODE;
        if constexpr (std::is_same_v<Elem, LPOLESTR>) {
            const QStringList l = o.at(1).toStringList();
            if (l.size() != static_cast<qsizetype>(fetched))
                return RPC_E_INVALID_DATA_CODE;
            for (ULONG i = 0; i < fetched; ++i) {
                rgelt[i] = TaskWide(l[static_cast<qsizetype>(i)]);
                if (!rgelt[i]) {
                    for (ULONG j = 0; j < i; ++j)
                        CoTaskMemFree(rgelt[j]);
                    return E_OUTOFMEMORY;
                }
            }
        } else {
            const QList<QDBusObjectPath> l = ListArg<QDBusObjectPath>(o.at(1));
            if (l.size() != static_cast<qsizetype>(fetched))
                return RPC_E_INVALID_DATA_CODE;
            for (ULONG i = 0; i < fetched; ++i) {
                void* p = nullptr;
                core_.AdoptPath(l[static_cast<qsizetype>(i)].path(), ElemIid, &p);
                rgelt[i] = static_cast<Elem>(p);
            }
        }
        if (pceltFetched)
            *pceltFetched = fetched;
        return hr;
    }
    HRESULT Skip(ULONG celt) override
    {
        QVariantList o;
        return core_.Invoke(Name, "Skip", {U(celt)}, o);
    }
    HRESULT Reset() override
    {
        QVariantList o;
        return core_.Invoke(Name, "Reset", {}, o);
    }
    HRESULT Clone(IEnum** ppenum) override
    {
        if (!ppenum)
            return E_POINTER;
        *ppenum = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke(Name, "Clone", {}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), SelfIid, reinterpret_cast<void**>(ppenum));
        return FAILED(q) ? q : hr;
    }
};

constexpr char kEnumString[] = "opc.IEnumString";
constexpr char kEnumUnknown[] = "opc.IEnumUnknown";
constexpr char kEnumPoints[] = "opc.IEnumConnectionPoints";
using EnumStringPart = EnumPart<IEnumString, LPOLESTR, kEnumString, IID_IUnknown, IID_IEnumString>;
using EnumUnknownPart = EnumPart<IEnumUnknown, IUnknown*, kEnumUnknown, IID_IUnknown, IID_IEnumUnknown>;
using EnumPointsPart =
    EnumPart<IEnumConnectionPoints, IConnectionPoint*, kEnumPoints, IID_IConnectionPoint, IID_IEnumConnectionPoints>;

class EnumAttributesPart final : public Part<IEnumOPCItemAttributes> {
public:
    using Part::Part;
    HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override
    {
        if (!ppItemArray || !pceltFetched)
            return E_POINTER;
        *ppItemArray = nullptr;
        *pceltFetched = 0;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IEnumOPCItemAttributes", "Next", {U(celt)}, o);
        if (FAILED(hr))
            return hr;
        const QList<WireItemAttributes> wire = ListArg<WireItemAttributes>(o.at(1));
        const ULONG n = o.at(2).toUInt();
        if (n > celt || wire.size() != static_cast<qsizetype>(n))
            return RPC_E_INVALID_DATA_CODE;
        OPCITEMATTRIBUTES* items = nullptr;
        if (n) {
            items = static_cast<OPCITEMATTRIBUTES*>(CoTaskMemAlloc(sizeof(OPCITEMATTRIBUTES) * n));
            if (!items)
                return E_OUTOFMEMORY;
            for (ULONG i = 0; i < n; ++i) {
                const HRESULT c = ItemAttributesFromWire(wire[static_cast<qsizetype>(i)], items[i]);
                if (FAILED(c)) {
                    for (ULONG j = 0; j < i; ++j)
                        FreeItemAttributes(items[j]);
                    CoTaskMemFree(items);
                    return c == E_OUTOFMEMORY ? c : RPC_E_INVALID_DATA_CODE;
                }
            }
        }
        *ppItemArray = items;
        *pceltFetched = n;
        return hr;
    }
    HRESULT Skip(ULONG celt) override
    {
        QVariantList o;
        return core_.Invoke("opc.IEnumOPCItemAttributes", "Skip", {U(celt)}, o);
    }
    HRESULT Reset() override
    {
        QVariantList o;
        return core_.Invoke("opc.IEnumOPCItemAttributes", "Reset", {}, o);
    }
    HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override
    {
        if (!ppEnumItemAttributes)
            return E_POINTER;
        *ppEnumItemAttributes = nullptr;
        QVariantList o;
        const HRESULT hr = core_.Invoke("opc.IEnumOPCItemAttributes", "Clone", {}, o);
        if (FAILED(hr))
            return hr;
        const HRESULT q = core_.AdoptPath(PathOf(o.at(1)), IID_IEnumOPCItemAttributes,
                                          reinterpret_cast<void**>(ppEnumItemAttributes));
        return FAILED(q) ? q : hr;
    }
};

// IOPCGroup has no methods of its own.
class GroupPart final : public Part<IUnknown> {
public:
    using Part::Part;
};

} // namespace

std::unique_ptr<PartBase> MakePart(ProxyCore& core, REFIID riid)
{
    if (riid == IID_IOPCServer)
        return std::make_unique<ServerPart>(core);
    if (riid == IID_IOPCCommon)
        return std::make_unique<CommonPart>(core);
    if (riid == IID_IOPCBrowseServerAddressSpace)
        return std::make_unique<BrowsePart>(core);
    if (riid == IID_IOPCItemProperties)
        return std::make_unique<PropertiesPart>(core);
    if (riid == IID_IOPCGroupStateMgt)
        return std::make_unique<StatePart>(core);
    if (riid == IID_IOPCItemMgt)
        return std::make_unique<ItemMgtPart>(core);
    if (riid == IID_IOPCSyncIO)
        return std::make_unique<SyncPart>(core);
    if (riid == IID_IOPCAsyncIO2)
        return std::make_unique<AsyncPart>(core);
    if (riid == IID_IConnectionPointContainer)
        return std::make_unique<ContainerPart>(core);
    if (riid == IID_IConnectionPoint)
        return std::make_unique<PointPart>(core);
    if (riid == IID_IEnumString)
        return std::make_unique<EnumStringPart>(core);
    if (riid == IID_IEnumUnknown)
        return std::make_unique<EnumUnknownPart>(core);
    if (riid == IID_IEnumConnectionPoints)
        return std::make_unique<EnumPointsPart>(core);
    if (riid == IID_IEnumOPCItemAttributes)
        return std::make_unique<EnumAttributesPart>(core);
    if (riid == IID_IOPCGroup)
        return std::make_unique<GroupPart>(core);
    return nullptr;
}

} // namespace opcclient
