#include "ConnectionPoint.h"

#include <algorithm>

namespace {

IUnknown* UnknownOf(const CONNECTDATA& c) { return c.pUnk; }
IUnknown* UnknownOf(IConnectionPoint* p) { return p; }

// An enumerator over a snapshot: each element carries its own reference
// while the enumerator lives, and one more for every copy handed out.
template <typename IEnum, typename Element, const IID& kIid>
class TSnapshotEnumerator : public ComObject, public IEnum {
public:
    explicit TSnapshotEnumerator(std::vector<Element> items) : items_(std::move(items))
    {
        for (auto& e : items_)
            UnknownOf(e)->AddRef();
    }
    ~TSnapshotEnumerator() override
    {
        for (auto& e : items_)
            UnknownOf(e)->Release();
    }
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == kIid)
            return ComAnswer(static_cast<IEnum*>(this), ppv);
        return E_NOINTERFACE;
    }
    HRESULT Next(ULONG n, Element* out, ULONG* fetched) override
    {
        if (!out || (n > 1 && !fetched))
            return E_POINTER;
        ULONG got = 0;
        while (got < n && pos_ < items_.size()) {
            out[got] = items_[pos_++];
            UnknownOf(out[got])->AddRef();
            ++got;
        }
        if (fetched)
            *fetched = got;
        return got == n ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG n) override
    {
        const bool ok = pos_ + n <= items_.size();
        pos_ = std::min<std::size_t>(pos_ + n, items_.size());
        return ok ? S_OK : S_FALSE;
    }
    HRESULT Reset() override
    {
        pos_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnum** out) override
    {
        if (!out)
            return E_POINTER;
        auto* copy = new TSnapshotEnumerator(items_);
        copy->pos_ = pos_;
        return ComAnswer(static_cast<IEnum*>(copy), reinterpret_cast<void**>(out));
    }

private:
    std::vector<Element> items_;
    std::size_t pos_ = 0;
};

using TEnumConnections = TSnapshotEnumerator<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;
using TEnumConnectionPoints = TSnapshotEnumerator<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;

} // namespace

TConnectionPoint::TConnectionPoint(TConnectionPointContainer& container, REFIID iid, ConnectionKind kind,
                                   ConnectionHooks hooks)
    : container_(container), iid_(iid), kind_(kind), hooks_(std::move(hooks))
{
}

TConnectionPoint::~TConnectionPoint() { ReleaseAll(); }

HRESULT TConnectionPoint::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint)
        return ComAnswer(static_cast<IConnectionPoint*>(this), ppv);
    return E_NOINTERFACE;
}

ULONG TConnectionPoint::AddRef() { return container_.Owner().AddRef(); }
ULONG TConnectionPoint::Release() { return container_.Owner().Release(); }

HRESULT TConnectionPoint::GetConnectionInterface(IID* pIID)
{
    if (!pIID)
        return E_POINTER;
    *pIID = iid_;
    return S_OK;
}

HRESULT TConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (!ppCPC)
        return E_POINTER;
    return ComAnswer(static_cast<IConnectionPointContainer*>(&container_), reinterpret_cast<void**>(ppCPC));
}

HRESULT TConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (pdwCookie)
        *pdwCookie = 0;
    if (!pUnkSink || !pdwCookie)
        return E_POINTER;
    if (kind_ == ConnectionKind::Single && !Sinks().empty())
        return CONNECT_E_ADVISELIMIT;
    if (hooks_.onAdvise)
        hooks_.onAdvise(pUnkSink);
    auto free = std::find(slots_.begin(), slots_.end(), nullptr);
    if (free == slots_.end())
        free = slots_.insert(slots_.end(), nullptr);
    *free = pUnkSink;
    pUnkSink->AddRef();
    *pdwCookie = static_cast<DWORD>(free - slots_.begin()) + 1;
    return S_OK;
}

HRESULT TConnectionPoint::Unadvise(DWORD dwCookie)
{
    if (dwCookie == 0 || dwCookie > slots_.size() || !slots_[dwCookie - 1])
        return CONNECT_E_NOCONNECTION;
    IUnknown* sink = slots_[dwCookie - 1];
    if (hooks_.onUnadvise)
        hooks_.onUnadvise(sink);
    slots_[dwCookie - 1] = nullptr;
    sink->Release();
    return S_OK;
}

HRESULT TConnectionPoint::EnumConnections(IEnumConnections** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    std::vector<CONNECTDATA> items;
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (slots_[i])
            items.push_back({slots_[i], static_cast<DWORD>(i + 1)});
    return ComAnswer(static_cast<IEnumConnections*>(new TEnumConnections(std::move(items))),
                     reinterpret_cast<void**>(ppEnum));
}

std::vector<IUnknown*> TConnectionPoint::Sinks() const
{
    std::vector<IUnknown*> out;
    for (IUnknown* s : slots_)
        if (s)
            out.push_back(s);
    return out;
}

DWORD TConnectionPoint::CookieOf(const IUnknown* sink) const
{
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (sink && slots_[i] == sink)
            return static_cast<DWORD>(i + 1);
    return 0;
}

void TConnectionPoint::ReleaseAll()
{
    std::vector<IUnknown*> sinks;
    sinks.swap(slots_);
    for (IUnknown* s : sinks)
        if (s)
            s->Release();
}

TConnectionPointContainer::TConnectionPointContainer(IUnknown& owner) : owner_(owner) {}

TConnectionPointContainer::~TConnectionPointContainer()
{
    for (auto& p : points_)
        p->ReleaseAll();
}

TConnectionPoint& TConnectionPointContainer::AddPoint(REFIID iid, ConnectionKind kind, ConnectionHooks hooks)
{
    points_.push_back(std::make_unique<TConnectionPoint>(*this, iid, kind, std::move(hooks)));
    return *points_.back();
}

HRESULT TConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    std::vector<IConnectionPoint*> items;
    for (auto& p : points_)
        items.push_back(p.get());
    auto* e = new (std::nothrow) TEnumConnectionPoints(std::move(items));
    if (!e) {
        *ppEnum = nullptr;
        return E_UNEXPECTED;
    }
    return ComAnswer(static_cast<IEnumConnectionPoints*>(e), reinterpret_cast<void**>(ppEnum));
}

HRESULT TConnectionPointContainer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    if (!ppCP)
        return E_POINTER;
    *ppCP = nullptr;
    if (TConnectionPoint* p = Point(riid))
        return ComAnswer(static_cast<IConnectionPoint*>(p), reinterpret_cast<void**>(ppCP));
    return CONNECT_E_NOCONNECTION;
}

TConnectionPoint* TConnectionPointContainer::Point(REFIID iid) const
{
    for (auto& p : points_)
        if (p->Iid() == iid)
            return p.get();
    return nullptr;
}
