#include "OPCenum.h"

#include "ComObject.h"
#include "RegistryStore.h"
#include "TaskMem.h"

#include <algorithm>
#include <new>
#include <strings.h>

namespace {

constexpr ULONG kAll = static_cast<ULONG>(-1);

// A GUID enumerator over a fixed list; answers IEnumGUID and IOPCEnumGUID.
class TEnumGUIDs final : public ComObject, public IEnumGUID, public IOPCEnumGUID {
public:
    explicit TEnumGUIDs(std::vector<GUID> list, std::size_t pos = 0) : list_(std::move(list)), pos_(pos) {}
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IEnumGUID)
            return ComAnswer(static_cast<IEnumGUID*>(this), ppv);
        if (riid == IID_IOPCEnumGUID)
            return ComAnswer(static_cast<IOPCEnumGUID*>(this), ppv);
        return E_NOINTERFACE;
    }
    HRESULT Next(ULONG celt, GUID* rgelt, ULONG* pceltFetched) override
    {
        if (!rgelt || (celt > 1 && !pceltFetched))
            return E_INVALIDARG;
        ULONG n = 0;
        while (n < celt && pos_ < list_.size())
            rgelt[n++] = list_[pos_++];
        if (pceltFetched)
            *pceltFetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override
    {
        const std::size_t left = list_.size() - pos_;
        pos_ += std::min<std::size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override
    {
        pos_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumGUID** ppenum) override { return clone(IID_IEnumGUID, reinterpret_cast<void**>(ppenum)); }
    HRESULT Clone(IOPCEnumGUID** ppenum) override
    {
        return clone(IID_IOPCEnumGUID, reinterpret_cast<void**>(ppenum));
    }

private:
    HRESULT clone(REFIID riid, void** ppv)
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        auto* copy = new (std::nothrow) TEnumGUIDs(list_, pos_);
        return copy ? copy->QueryInterfaceImpl(riid, ppv) : E_OUTOFMEMORY;
    }
    std::vector<GUID> list_;
    std::size_t pos_;
};

// The server enumerator component over the registry store.
class TOPCServerEnumerator final : public ComObject, public IOPCServerList2, public IOPCServerList {
public:
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCServerList2)
            return ComAnswer(static_cast<IOPCServerList2*>(this), ppv);
        if (riid == IID_IOPCServerList)
            return ComAnswer(static_cast<IOPCServerList*>(this), ppv);
        return E_NOINTERFACE;
    }

    HRESULT EnumClassesOfCategories(ULONG cImpl, CATID rgImpl[], ULONG cReq, CATID rgReq[],
                                    IEnumGUID** ppenum) override
    {
        return enumerate(cImpl, rgImpl, cReq, rgReq, IID_IEnumGUID, reinterpret_cast<void**>(ppenum));
    }
    HRESULT EnumClassesOfCategories(ULONG cImpl, CATID rgImpl[], ULONG cReq, CATID rgReq[],
                                    IOPCEnumGUID** ppenum) override
    {
        return enumerate(cImpl, rgImpl, cReq, rgReq, IID_IOPCEnumGUID, reinterpret_cast<void**>(ppenum));
    }
    HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType) override
    {
        return details(clsid, progId, userType, nullptr);
    }
    HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType, LPOLESTR* verIndProgId) override
    {
        if (!verIndProgId)
            return E_INVALIDARG;
        return details(clsid, progId, userType, verIndProgId);
    }
    HRESULT CLSIDFromProgID(LPCOLESTR szProgId, CLSID* clsid) override
    {
        if (!szProgId || !clsid)
            return E_INVALIDARG;
        const auto found = registry::ClsidFromProgId(AnsiFromWide(szProgId));
        *clsid = found.value_or(GUID_NULL);
        return found ? S_OK : CO_E_CLASSSTRING;
    }

private:
    HRESULT enumerate(ULONG cImpl, const CATID* rgImpl, ULONG cReq, const CATID* rgReq, REFIID riid, void** ppv)
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if ((cImpl != kAll && cImpl > 0 && !rgImpl) || (cReq != kAll && cReq > 0 && !rgReq))
            return E_INVALIDARG;
        std::vector<GUID> found;
        for (const std::string& name : registry::SubKeys("CLSID")) {
            const auto clsid = GuidFromString(name);
            if (name.size() != 38 || !clsid)
                continue;
            const std::string cls = "CLSID\\" + name;
            // No implemented category asked for (0 or -1): any class.
            bool implemented = cImpl == 0 || cImpl == kAll;
            for (ULONG i = 0; !implemented && i < cImpl; ++i)
                implemented = registry::KeyExists(cls + "\\Implemented Categories\\" + GuidToString(rgImpl[i]));
            // Every category the class requires of its user must be offered.
            bool required = true;
            if (cReq != kAll)
                for (const std::string& need : registry::SubKeys(cls + "\\Required Categories")) {
                    const auto catid = GuidFromString(need);
                    required = required && catid && std::find(rgReq, rgReq + cReq, *catid) != rgReq + cReq;
                }
            if (implemented && required)
                found.push_back(*clsid);
        }
        auto* e = new (std::nothrow) TEnumGUIDs(std::move(found));
        return e ? e->QueryInterfaceImpl(riid, ppv) : E_OUTOFMEMORY;
    }

    HRESULT details(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType, LPOLESTR* verIndProgId)
    {
        if (!progId || !userType)
            return E_INVALIDARG;
        *progId = *userType = nullptr;
        if (verIndProgId)
            *verIndProgId = nullptr;
        const auto prog = registry::ProgIdFromClsid(clsid);
        if (!prog)
            return REGDB_E_CLASSNOTREG;
        const std::string cls = "CLSID\\" + GuidToString(clsid);
        std::string verInd = registry::GetDefault(cls + "\\VersionIndependentProgID").value_or("");
        if (verInd.empty())
            verInd = *prog;
        *progId = CoTaskStrDupAnsi(*prog);
        *userType = CoTaskStrDupAnsi(registry::GetDefault(cls).value_or(""));
        if (verIndProgId)
            *verIndProgId = CoTaskStrDupAnsi(verInd);
        if (!*progId || !*userType || (verIndProgId && !*verIndProgId)) {
            CoTaskMemFree(std::exchange(*progId, nullptr));
            CoTaskMemFree(std::exchange(*userType, nullptr));
            if (verIndProgId)
                CoTaskMemFree(std::exchange(*verIndProgId, nullptr));
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
};

} // namespace

HRESULT CreateServerEnumerator(const std::string& machineName, REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_OpcServerList)
        return REGDB_E_CLASSNOTREG;
    if (!machineName.empty())
        return RPC_S_SERVER_UNAVAILABLE;
    auto* e = new (std::nothrow) TOPCServerEnumerator;
    if (!e)
        return E_OUTOFMEMORY;
    e->AddRef();
    const HRESULT result = e->QueryInterfaceImpl(riid, ppv);
    e->Release();
    return result;
}

// ---------------------------------------------------------------- TOPCServerList

TOPCServerList::TOPCServerList(std::string machineName, std::vector<CATID> categories, ServerEnumeratorFactory factory)
    : machineName_(std::move(machineName)), categories_(std::move(categories)), factory_(std::move(factory))
{
}

int TOPCServerList::Refresh()
{
    servers_.clear();
    enumeratorReached_ = false;
    enumerate();
    return Count();
}

std::vector<std::string> TOPCServerList::Names() const
{
    std::vector<std::string> names;
    for (const TOPCServerInfo& s : servers_)
        names.push_back(s.name);
    return names;
}

bool TOPCServerList::add(TOPCServerInfo info)
{
    const auto pos = std::lower_bound(servers_.begin(), servers_.end(), info.name,
                                      [](const TOPCServerInfo& s, const std::string& name) {
                                          return strcasecmp(s.name.c_str(), name.c_str()) < 0;
                                      });
    if (pos != servers_.end() && strcasecmp(pos->name.c_str(), info.name.c_str()) == 0)
        return false;
    servers_.insert(pos, std::move(info));
    return true;
}

void TOPCServerList::enumerate()
{
    if (!UseEnumerator() || !factory_)
        return;
    ComPtr<IUnknown> component;
    if (FAILED(factory_(machineName_, CLSID_OpcServerList, IID_IUnknown, component.putVoid())) || !component)
        return;
    ComPtr<IOPCServerList2> list2;
    ComPtr<IOPCServerList> list1;
    if (FAILED(component.As(IID_IOPCServerList2, list2)) || !list2) {
        list2.reset();
        if (FAILED(component.As(IID_IOPCServerList, list1)) || !list1)
            return;
    }
    enumeratorReached_ = true;

    for (CATID category : categories_) {
        ComPtr<IOPCEnumGUID> classes2;
        ComPtr<IEnumGUID> classes1;
        HRESULT result = list2 ? list2->EnumClassesOfCategories(1, &category, 0, nullptr, classes2.put())
                               : list1->EnumClassesOfCategories(1, &category, 0, nullptr, classes1.put());
        if (FAILED(result) || (!classes2 && !classes1))
            continue;
        for (;;) {
            CLSID clsid{};
            ULONG fetched = 0;
            result = classes2 ? classes2->Next(1, &clsid, &fetched) : classes1->Next(1, &clsid, &fetched);
            if (FAILED(result) || fetched != 1)
                break;
            LPOLESTR progId = nullptr, userType = nullptr, verIndProgId = nullptr;
            const HRESULT got = list2 ? list2->GetClassDetails(clsid, &progId, &userType, &verIndProgId)
                                      : list1->GetClassDetails(clsid, &progId, &userType);
            const bool known = std::any_of(servers_.begin(), servers_.end(),
                                           [&](const TOPCServerInfo& s) { return s.clsid == clsid; });
            if (SUCCEEDED(got) && !known)
                add({AnsiFromWide(progId), clsid, AnsiFromWide(userType), ""});
            CoTaskMemFree(progId);
            CoTaskMemFree(userType);
            CoTaskMemFree(verIndProgId);
        }
    }
}
