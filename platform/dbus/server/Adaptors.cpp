// The adaptors: one small function per method, in the order of OPCDA.h.
// Each trusts the signature (checked by the registry) but not the values.
#include "Adaptors.h"

#include "BusServer.h"
#include "GroupUnit.h"
#include "Interfaces.h"
#include "OPCDA.h"
#include "RemoteSink.h"
#include "SlicedRequest.h"
#include "TaskMem.h"
#include "Wire.h"

#include <QDBusObjectPath>

#include <algorithm>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace opcdbus {

QString CallContext::Export(IUnknown* adopted) const { return server.Export(client, adopted); }

QVariantList CallContext::Fail(HRESULT hr) const { return ZeroOuts(method.outSignature, hr); }

namespace {

// Enumerators' Next is served in slices, so that a huge celt never makes
// the server allocate for it.
constexpr ULONG kNextSlice = 1024;

template <typename T> T Arg(const CallContext& c, int i) { return c.args.at(i).value<T>(); }
QString Str(const CallContext& c, int i) { return c.args.at(i).toString(); }
template <typename T> QList<T> List(const CallContext& c, int i) { return ListArg<T>(c.args.at(i)); }
template <typename I> I* Iface(const CallContext& c) { return static_cast<I*>(c.iface); }

QVariant V(HRESULT hr) { return QVariant::fromValue<int>(hr); }
QVariant U(quint32 u) { return QVariant::fromValue<uint>(u); }
QVariant I(qint32 i) { return QVariant::fromValue<int>(i); }
QVariant Path(const QString& p) { return QVariant::fromValue(QDBusObjectPath(p)); }
template <typename T> QVariant L(const QList<T>& l) { return QVariant::fromValue(l); }

// The text of a wide string from the task allocator, which is freed.
QString TakeWide(LPWSTR s)
{
    QString t = FromWide(s);
    CoTaskMemFree(s);
    return t;
}

// An HRESULT array of n from the task allocator, freed (empty when null).
QList<int> TakeErrors(HRESULT* errors, DWORD n)
{
    QList<int> out;
    if (errors)
        out = QList<int>(errors, errors + n);
    CoTaskMemFree(errors);
    return out;
}

// An optional in-pointer: an array of 0 or 1 elements. False for more.
template <typename T> bool Optional(const QList<T>& l, T& storage, T*& p)
{
    if (l.size() > 1)
        return false;
    p = nullptr;
    if (l.size() == 1) {
        storage = l.front();
        p = &storage;
    }
    return true;
}

// An IID argument; nullopt for a text that is not one.
std::optional<IID> Iid(const CallContext& c, int i) { return GuidFromText(Str(c, i)); }

// Decoded VARIANT arguments, cleared when the call is over.
struct Variants {
    std::vector<VARIANT> v;
    ~Variants()
    {
        for (auto& x : v)
            VariantClear(&x);
    }
    // False (and nothing kept) when any value is malformed.
    bool Decode(const QList<WireVariant>& wire)
    {
        v.assign(static_cast<std::size_t>(wire.size()), VARIANT{});
        for (auto& x : v)
            VariantInit(&x);
        for (qsizetype i = 0; i < wire.size(); ++i)
            if (FAILED(VariantFromWire(wire[i], &v[static_cast<std::size_t>(i)]))) {
                for (auto& x : v)
                    VariantClear(&x);
                v.clear();
                return false;
            }
        return true;
    }
    VARIANT* data() { return v.empty() ? nullptr : v.data(); }
};

// Item definitions whose strings live as long as this object.
struct ItemDefs {
    std::vector<std::u16string> strings;
    std::vector<OPCITEMDEF> defs;
    bool Decode(const QList<WireItemDef>& wire)
    {
        strings.resize(static_cast<std::size_t>(wire.size()) * 2);
        defs.resize(static_cast<std::size_t>(wire.size()));
        for (qsizetype i = 0; i < wire.size(); ++i) {
            const auto k = static_cast<std::size_t>(i);
            if (FAILED(ItemDefFromWire(wire[i], strings[2 * k], strings[2 * k + 1], defs[k])))
                return false;
        }
        return true;
    }
};

template <typename T> T* DataOrNull(QList<T>& l) { return l.isEmpty() ? nullptr : l.data(); }

// ------------------------------------------------------------ calls in slices

// An array argument read a part at a time: from the message's stream, or
// from a list already decoded.
template <typename T> class ArrayReader {
public:
    explicit ArrayReader(const QVariant& v)
    {
        if (v.userType() == qMetaTypeId<QDBusArgument>()) {
            stream_ = v.value<QDBusArgument>();
            stream_.beginArray();
            streaming_ = true;
        } else {
            list_ = v.value<QList<T>>();
        }
    }
    // The array is left however far it was read: an array's reader holds
    // the reader of the whole message (and so the message) until it ends.
    // Only the const endArray reads; the other one writes.
    ~ArrayReader()
    {
        if (streaming_)
            std::as_const(stream_).endArray();
    }
    ArrayReader(const ArrayReader&) = delete;
    ArrayReader& operator=(const ArrayReader&) = delete;
    // Appends the next count elements to into; false when there are fewer.
    bool Read(quint32 count, QList<T>& into)
    {
        for (quint32 i = 0; i < count; ++i) {
            if (streaming_) {
                if (stream_.atEnd())
                    return false;
                T t;
                stream_ >> t;
                into.push_back(t);
            } else {
                if (pos_ >= list_.size())
                    return false;
                into.push_back(list_[pos_++]);
            }
        }
        return true;
    }
    bool AtEnd() const { return streaming_ ? stream_.atEnd() : pos_ >= list_.size(); }

private:
    QDBusArgument stream_;
    bool streaming_ = false;
    QList<T> list_;
    qsizetype pos_ = 0;
};

// A request of n entries served in slices: first every array argument is
// decoded (decode(count) reads the next count entries; false for a
// malformed or short array, and done() must then hold: no entry left over),
// then part(first, count) calls the COM method for those entries and keeps
// their outs; finish(hr) makes the answer from all of them.
class ChunkedCall final : public SlicedCall {
public:
    using Decode = std::function<bool(quint32 count)>;
    using Done = std::function<bool()>;
    using Part = std::function<HRESULT(quint32 first, quint32 count)>;
    using Finish = std::function<QVariantList(HRESULT hr)>;

    ChunkedCall(IUnknown* target, const QString& outSignature, quint32 n, Decode decode, Done done, Part part,
                Finish finish)
        : target_(target), outSignature_(outSignature), n_(n), decode_(std::move(decode)), done_(std::move(done)),
          part_(std::move(part)), finish_(std::move(finish))
    {
        if (SUCCEEDED(target_.As(IID_ISlicedRequest, marked_)) && marked_)
            marked_->RequestInProgress(1);
    }
    ~ChunkedCall() override
    {
        if (marked_)
            marked_->RequestInProgress(0);
    }
    bool Step(const QDeadlineTimer& until) override
    {
        do {
            if (decoded_ < n_) {
                const quint32 count = std::min(n_ - decoded_, kSlicePart);
                if (!decode_(count)) {
                    failed_ = E_INVALIDARG;
                    return true;
                }
                decoded_ += count;
                if (decoded_ == n_ && !done_()) {
                    failed_ = E_INVALIDARG; // more entries than the count says
                    return true;
                }
                if (decoded_ == n_ && n_ > TOPCGroup::kMaxHandlesPerCall) {
                    failed_ = E_OUTOFMEMORY; // well formed, but more than a call may have
                    return true;
                }
                continue;
            }
            if (served_ >= n_)
                return true;
            const quint32 count = std::min(n_ - served_, kSlicePart);
            const HRESULT hr = part_(served_, count);
            if (FAILED(hr)) {
                failed_ = hr;
                return true;
            }
            someFailed_ = someFailed_ || hr == S_FALSE;
            served_ += count;
        } while (!until.hasExpired());
        return served_ >= n_;
    }
    QVariantList Outs() override
    {
        if (FAILED(failed_))
            return ZeroOuts(outSignature_, failed_);
        return finish_(someFailed_ ? S_FALSE : S_OK);
    }

private:
    ComPtr<IUnknown> target_;
    ComPtr<ISlicedRequest> marked_;
    QString outSignature_;
    quint32 n_;
    quint32 decoded_ = 0;
    quint32 served_ = 0;
    HRESULT failed_ = S_OK;
    bool someFailed_ = false;
    Decode decode_;
    Done done_;
    Part part_;
    Finish finish_;
};

// Whether the call is served in slices. A count past the limit of entries
// per call is served so too: its arrays are read (a count that disagrees
// with them is refused as such), then the call is refused.
bool Sliced(quint32 n) { return n > kSliceEntries; }

// ------------------------------------------------------------ IClassFactory

QVariantList ClassFactory_CreateInstance(CallContext& c)
{
    const auto iid = Iid(c, 0);
    if (!iid)
        return c.Fail(E_INVALIDARG);
    void* p = nullptr;
    const HRESULT hr = Iface<IClassFactory>(c)->CreateInstance(nullptr, *iid, &p);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(static_cast<IUnknown*>(p)) : QStringLiteral("/"))};
}

QVariantList ClassFactory_LockServer(CallContext& c)
{
    return {V(Iface<IClassFactory>(c)->LockServer(Arg<int>(c, 0)))};
}

// ------------------------------------------------------------ IOPCServer

QVariantList Server_AddGroup(CallContext& c)
{
    const std::u16string name = WideOf(Str(c, 0));
    LONG bias = 0, *pBias = nullptr;
    double deadbandWire = 0, *pDeadbandWire = nullptr;
    if (!Optional(List<int>(c, 4), bias, pBias) || !Optional(List<double>(c, 5), deadbandWire, pDeadbandWire))
        return c.Fail(E_INVALIDARG);
    FLOAT deadband = static_cast<FLOAT>(deadbandWire);
    const auto iid = Iid(c, 7);
    if (!iid)
        return c.Fail(E_INVALIDARG);
    OPCHANDLE hServer = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    const HRESULT hr = Iface<IOPCServer>(c)->AddGroup(name.c_str(), Arg<int>(c, 1), Arg<uint>(c, 2), Arg<uint>(c, 3),
                                                      pBias, pDeadbandWire ? &deadband : nullptr, Arg<uint>(c, 6),
                                                      &hServer, &revised, *iid, &unk);
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), U(hServer), U(revised), Path(c.Export(unk))};
}

QVariantList Server_GetErrorString(CallContext& c)
{
    LPWSTR text = nullptr;
    const HRESULT hr = Iface<IOPCServer>(c)->GetErrorString(Arg<int>(c, 0), Arg<uint>(c, 1), &text);
    return {V(hr), SUCCEEDED(hr) ? TakeWide(text) : (CoTaskMemFree(text), QString())};
}

QVariantList Server_GetGroupByName(CallContext& c)
{
    const std::u16string name = WideOf(Str(c, 0));
    const auto iid = Iid(c, 1);
    if (!iid)
        return c.Fail(E_INVALIDARG);
    IUnknown* unk = nullptr;
    const HRESULT hr = Iface<IOPCServer>(c)->GetGroupByName(name.c_str(), *iid, &unk);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(unk) : QStringLiteral("/"))};
}

QVariantList Server_GetStatus(CallContext& c)
{
    OPCSERVERSTATUS* status = nullptr;
    const HRESULT hr = Iface<IOPCServer>(c)->GetStatus(&status);
    if (FAILED(hr) || !status)
        return c.Fail(FAILED(hr) ? hr : E_UNEXPECTED);
    const WireServerStatus w = ServerStatusToWire(*status);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return {V(hr), QVariant::fromValue(w)};
}

QVariantList Server_RemoveGroup(CallContext& c)
{
    return {V(Iface<IOPCServer>(c)->RemoveGroup(Arg<uint>(c, 0), Arg<int>(c, 1)))};
}

QVariantList Server_CreateGroupEnumerator(CallContext& c)
{
    const auto iid = Iid(c, 1);
    if (!iid)
        return c.Fail(E_INVALIDARG);
    IUnknown* unk = nullptr;
    const HRESULT hr =
        Iface<IOPCServer>(c)->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(Arg<uint>(c, 0)), *iid, &unk);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(unk) : QStringLiteral("/"))};
}

// ------------------------------------------------------------ IOPCCommon

QVariantList Common_SetLocaleID(CallContext& c) { return {V(Iface<IOPCCommon>(c)->SetLocaleID(Arg<uint>(c, 0)))}; }

QVariantList Common_GetLocaleID(CallContext& c)
{
    LCID lcid = 0;
    const HRESULT hr = Iface<IOPCCommon>(c)->GetLocaleID(&lcid);
    return {V(hr), U(SUCCEEDED(hr) ? lcid : 0)};
}

QVariantList Common_QueryAvailableLocaleIDs(CallContext& c)
{
    DWORD n = 0;
    LCID* ids = nullptr;
    const HRESULT hr = Iface<IOPCCommon>(c)->QueryAvailableLocaleIDs(&n, &ids);
    QList<uint> list;
    if (SUCCEEDED(hr) && ids)
        list = QList<uint>(ids, ids + n);
    CoTaskMemFree(ids);
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), U(static_cast<quint32>(list.size())), L(list)};
}

QVariantList Common_GetErrorString(CallContext& c)
{
    LPWSTR text = nullptr;
    const HRESULT hr = Iface<IOPCCommon>(c)->GetErrorString(Arg<int>(c, 0), &text);
    return {V(hr), SUCCEEDED(hr) ? TakeWide(text) : (CoTaskMemFree(text), QString())};
}

QVariantList Common_SetClientName(CallContext& c)
{
    const std::u16string name = WideOf(Str(c, 0));
    return {V(Iface<IOPCCommon>(c)->SetClientName(name.c_str()))};
}

// ------------------------------------------------------------ IOPCBrowseServerAddressSpace

QVariantList Browse_QueryOrganization(CallContext& c)
{
    OPCNAMESPACETYPE t = OPC_NS_FLAT;
    const HRESULT hr = Iface<IOPCBrowseServerAddressSpace>(c)->QueryOrganization(&t);
    return {V(hr), U(SUCCEEDED(hr) ? static_cast<quint32>(t) : 0u)};
}

QVariantList Browse_ChangeBrowsePosition(CallContext& c)
{
    const std::u16string s = WideOf(Str(c, 1));
    return {V(Iface<IOPCBrowseServerAddressSpace>(c)->ChangeBrowsePosition(
        static_cast<OPCBROWSEDIRECTION>(Arg<uint>(c, 0)), s.c_str()))};
}

QVariantList Browse_BrowseOPCItemIDs(CallContext& c)
{
    const std::u16string filter = WideOf(Str(c, 1));
    IEnumString* e = nullptr;
    const HRESULT hr = Iface<IOPCBrowseServerAddressSpace>(c)->BrowseOPCItemIDs(
        static_cast<OPCBROWSETYPE>(Arg<uint>(c, 0)), filter.c_str(), Arg<ushort>(c, 2), Arg<uint>(c, 3), &e);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(e) : QStringLiteral("/"))};
}

QVariantList Browse_GetItemID(CallContext& c)
{
    std::u16string in = WideOf(Str(c, 0));
    LPWSTR out = nullptr;
    const HRESULT hr = Iface<IOPCBrowseServerAddressSpace>(c)->GetItemID(in.data(), &out);
    return {V(hr), SUCCEEDED(hr) ? TakeWide(out) : (CoTaskMemFree(out), QString())};
}

QVariantList Browse_BrowseAccessPaths(CallContext& c)
{
    const std::u16string id = WideOf(Str(c, 0));
    IEnumString* e = nullptr;
    const HRESULT hr = Iface<IOPCBrowseServerAddressSpace>(c)->BrowseAccessPaths(id.c_str(), &e);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(e) : QStringLiteral("/"))};
}

// ------------------------------------------------------------ IOPCItemProperties

QVariantList Props_QueryAvailableProperties(CallContext& c)
{
    std::u16string id = WideOf(Str(c, 0));
    DWORD n = 0;
    DWORD* ids = nullptr;
    LPWSTR* texts = nullptr;
    VARTYPE* types = nullptr;
    const HRESULT hr = Iface<IOPCItemProperties>(c)->QueryAvailableProperties(id.data(), &n, &ids, &texts, &types);
    QList<uint> idList;
    QStringList textList;
    QList<ushort> typeList;
    if (SUCCEEDED(hr)) {
        for (DWORD i = 0; i < n; ++i) {
            idList.push_back(ids ? ids[i] : 0);
            textList.push_back(texts ? FromWide(texts[i]) : QString());
            typeList.push_back(types ? types[i] : 0);
        }
    }
    if (texts)
        for (DWORD i = 0; i < n; ++i)
            CoTaskMemFree(texts[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(texts);
    CoTaskMemFree(types);
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), U(n), L(idList), QVariant::fromValue(textList), L(typeList)};
}

QVariantList Props_GetItemProperties(CallContext& c)
{
    std::u16string id = WideOf(Str(c, 0));
    const quint32 n = Arg<uint>(c, 1);
    QList<uint> ids = List<uint>(c, 2);
    if (static_cast<qsizetype>(n) != ids.size())
        return c.Fail(E_INVALIDARG);
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCItemProperties>(c)->GetItemProperties(id.data(), n, DataOrNull(ids), &values, &errors);
    QList<WireVariant> wire;
    QList<int> errs = TakeErrors(errors, n);
    if (values) {
        for (quint32 i = 0; i < n; ++i) {
            WireVariant w;
            if (FAILED(VariantToWire(values[i], w)) && i < static_cast<quint32>(errs.size()) && SUCCEEDED(errs[i]))
                errs[i] = DISP_E_BADVARTYPE;
            wire.push_back(w);
            VariantClear(&values[i]);
        }
        CoTaskMemFree(values);
    }
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), L(wire), L(errs)};
}

QVariantList Props_LookupItemIDs(CallContext& c)
{
    std::u16string id = WideOf(Str(c, 0));
    const quint32 n = Arg<uint>(c, 1);
    QList<uint> ids = List<uint>(c, 2);
    if (static_cast<qsizetype>(n) != ids.size())
        return c.Fail(E_INVALIDARG);
    LPWSTR* texts = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCItemProperties>(c)->LookupItemIDs(id.data(), n, DataOrNull(ids), &texts, &errors);
    QStringList list;
    if (texts) {
        for (quint32 i = 0; i < n; ++i)
            list.push_back(TakeWide(texts[i]));
        CoTaskMemFree(texts);
    }
    const QList<int> errs = TakeErrors(errors, n);
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), QVariant::fromValue(list), L(errs)};
}

// ------------------------------------------------------------ IOPCGroupStateMgt

QVariantList State_GetState(CallContext& c)
{
    DWORD rate = 0, lcid = 0;
    BOOL active = 0;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE hClient = 0, hServer = 0;
    const HRESULT hr =
        Iface<IOPCGroupStateMgt>(c)->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &hClient, &hServer);
    const QString text = TakeWide(name);
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), U(rate), I(active), text, I(bias), QVariant::fromValue<double>(deadband), U(lcid), U(hClient),
            U(hServer)};
}

QVariantList State_SetState(CallContext& c)
{
    DWORD rate = 0, lcid = 0, *pRate = nullptr, *pLcid = nullptr;
    LONG active = 0, bias = 0, *pActive = nullptr, *pBias = nullptr;
    double deadbandWire = 0, *pDeadband = nullptr;
    OPCHANDLE hClient = 0, *pClient = nullptr;
    if (!Optional(List<uint>(c, 0), rate, pRate) || !Optional(List<int>(c, 1), active, pActive) ||
        !Optional(List<int>(c, 2), bias, pBias) || !Optional(List<double>(c, 3), deadbandWire, pDeadband) ||
        !Optional(List<uint>(c, 4), lcid, pLcid) || !Optional(List<uint>(c, 5), hClient, pClient))
        return c.Fail(E_INVALIDARG);
    FLOAT deadband = static_cast<FLOAT>(deadbandWire);
    DWORD revised = 0;
    const HRESULT hr = Iface<IOPCGroupStateMgt>(c)->SetState(pRate, &revised, pActive, pBias,
                                                             pDeadband ? &deadband : nullptr, pLcid, pClient);
    return {V(hr), U(SUCCEEDED(hr) ? revised : 0)};
}

QVariantList State_SetName(CallContext& c)
{
    const std::u16string name = WideOf(Str(c, 0));
    return {V(Iface<IOPCGroupStateMgt>(c)->SetName(name.c_str()))};
}

QVariantList State_CloneGroup(CallContext& c)
{
    const std::u16string name = WideOf(Str(c, 0));
    const auto iid = Iid(c, 1);
    if (!iid)
        return c.Fail(E_INVALIDARG);
    IUnknown* unk = nullptr;
    const HRESULT hr = Iface<IOPCGroupStateMgt>(c)->CloneGroup(name.c_str(), *iid, &unk);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(unk) : QStringLiteral("/"))};
}

// ------------------------------------------------------------ enumerators

// Calls next(slice, fetched) until celt elements came or the enumerator ran
// out; the last result is the answer (S_OK only when all came).
template <typename NextFn> HRESULT InSlices(ULONG celt, NextFn next)
{
    ULONG got = 0;
    HRESULT hr = S_OK;
    do {
        const ULONG slice = std::min(celt - got, kNextSlice);
        ULONG fetched = 0;
        hr = next(slice, fetched);
        if (FAILED(hr))
            return hr;
        got += fetched;
        if (fetched < slice || hr != S_OK)
            break;
    } while (got < celt);
    return hr;
}

QVariantList EnumString_Next(CallContext& c)
{
    const ULONG celt = Arg<uint>(c, 0);
    QStringList out;
    const HRESULT hr = InSlices(celt, [&](ULONG n, ULONG& fetched) {
        std::vector<LPOLESTR> buf(std::max<ULONG>(n, 1), nullptr);
        const HRESULT r = Iface<IEnumString>(c)->Next(n, buf.data(), &fetched);
        if (SUCCEEDED(r))
            for (ULONG i = 0; i < std::min<ULONG>(fetched, n); ++i)
                out.push_back(TakeWide(buf[i]));
        return r;
    });
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), QVariant::fromValue(out), U(static_cast<quint32>(out.size()))};
}

QVariantList EnumUnknown_Next(CallContext& c)
{
    const ULONG celt = Arg<uint>(c, 0);
    std::vector<IUnknown*> got;
    const HRESULT hr = InSlices(celt, [&](ULONG n, ULONG& fetched) {
        std::vector<IUnknown*> buf(std::max<ULONG>(n, 1), nullptr);
        const HRESULT r = Iface<IEnumUnknown>(c)->Next(n, buf.data(), &fetched);
        if (SUCCEEDED(r))
            for (ULONG i = 0; i < std::min<ULONG>(fetched, n); ++i)
                got.push_back(buf[i]);
        return r;
    });
    if (FAILED(hr)) {
        for (IUnknown* u : got)
            u->Release();
        return c.Fail(hr);
    }
    QList<QDBusObjectPath> paths;
    for (IUnknown* u : got)
        paths.push_back(QDBusObjectPath(c.Export(u)));
    return {V(hr), L(paths), U(static_cast<quint32>(paths.size()))};
}

QVariantList EnumConnectionPoints_Next(CallContext& c)
{
    const ULONG celt = Arg<uint>(c, 0);
    std::vector<IConnectionPoint*> got;
    const HRESULT hr = InSlices(celt, [&](ULONG n, ULONG& fetched) {
        std::vector<IConnectionPoint*> buf(std::max<ULONG>(n, 1), nullptr);
        const HRESULT r = Iface<IEnumConnectionPoints>(c)->Next(n, buf.data(), &fetched);
        if (SUCCEEDED(r))
            for (ULONG i = 0; i < std::min<ULONG>(fetched, n); ++i)
                got.push_back(buf[i]);
        return r;
    });
    if (FAILED(hr)) {
        for (IConnectionPoint* p : got)
            p->Release();
        return c.Fail(hr);
    }
    QList<QDBusObjectPath> paths;
    for (IConnectionPoint* p : got)
        paths.push_back(QDBusObjectPath(c.Export(p)));
    return {V(hr), L(paths), U(static_cast<quint32>(paths.size()))};
}

QVariantList EnumItemAttributes_Next(CallContext& c)
{
    const ULONG celt = Arg<uint>(c, 0);
    QList<WireItemAttributes> out;
    const HRESULT hr = InSlices(celt, [&](ULONG n, ULONG& fetched) {
        OPCITEMATTRIBUTES* items = nullptr;
        const HRESULT r = Iface<IEnumOPCItemAttributes>(c)->Next(n, &items, &fetched);
        if (items) {
            for (ULONG i = 0; i < std::min<ULONG>(fetched, n); ++i) {
                if (SUCCEEDED(r))
                    out.push_back(ItemAttributesToWire(items[i]));
                FreeItemAttributes(items[i]);
            }
            CoTaskMemFree(items);
        }
        return r;
    });
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), L(out), U(static_cast<quint32>(out.size()))};
}

template <typename E> QVariantList Enum_Skip(CallContext& c) { return {V(Iface<E>(c)->Skip(Arg<uint>(c, 0)))}; }
template <typename E> QVariantList Enum_Reset(CallContext& c) { return {V(Iface<E>(c)->Reset())}; }
template <typename E> QVariantList Enum_Clone(CallContext& c)
{
    E* copy = nullptr;
    const HRESULT hr = Iface<E>(c)->Clone(&copy);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(copy) : QStringLiteral("/"))};
}

// ------------------------------------------------------------ IOPCItemMgt

QVariantList ItemResults(CallContext& c, HRESULT hr, DWORD n, OPCITEMRESULT* results, HRESULT* errors)
{
    QList<WireItemResult> wire;
    if (results) {
        for (DWORD i = 0; i < n; ++i) {
            wire.push_back(ItemResultToWire(results[i]));
            CoTaskMemFree(results[i].pBlob);
        }
        CoTaskMemFree(results);
    }
    const QList<int> errs = TakeErrors(errors, n);
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), L(wire), L(errs)};
}

// AddItems and ValidateItems in slices: call(count, defs, results, errors).
using ItemDefsCall = std::function<HRESULT(DWORD, OPCITEMDEF*, OPCITEMRESULT**, HRESULT**)>;
void SliceItemDefs(CallContext& c, IUnknown* target, quint32 n, ItemDefsCall call)
{
    struct State {
        explicit State(const QVariant& v) : reader(v) {}
        ArrayReader<WireItemDef> reader;
        std::vector<std::unique_ptr<ItemDefs>> chunks;
        QList<WireItemResult> results;
        QList<int> errors;
    };
    auto st = std::make_shared<State>(c.args.at(1));
    c.sliced = std::make_unique<ChunkedCall>(
        target, c.method.outSignature, n,
        [st](quint32 count) {
            QList<WireItemDef> wire;
            auto defs = std::make_unique<ItemDefs>();
            if (!st->reader.Read(count, wire) || !defs->Decode(wire))
                return false;
            st->chunks.push_back(std::move(defs));
            return true;
        },
        [st] { return st->reader.AtEnd(); },
        [st, call](quint32 first, quint32 count) {
            ItemDefs& defs = *st->chunks[first / kSlicePart];
            OPCITEMRESULT* results = nullptr;
            HRESULT* errors = nullptr;
            const HRESULT hr = call(count, defs.defs.data(), &results, &errors);
            if (results) {
                for (DWORD i = 0; i < count; ++i) {
                    st->results.push_back(ItemResultToWire(results[i]));
                    CoTaskMemFree(results[i].pBlob);
                }
                CoTaskMemFree(results);
            }
            st->errors += TakeErrors(errors, count);
            st->chunks[first / kSlicePart].reset();
            return hr;
        },
        [st](HRESULT hr) { return QVariantList{V(hr), L(st->results), L(st->errors)}; });
}

QVariantList ItemMgt_AddItems(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 0);
    if (Sliced(n)) {
        IOPCItemMgt* items = Iface<IOPCItemMgt>(c);
        SliceItemDefs(c, items, n, [items](DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** r, HRESULT** e) {
            return items->AddItems(count, defs, r, e);
        });
        return {};
    }
    const QList<WireItemDef> wire = List<WireItemDef>(c, 1);
    ItemDefs defs;
    if (static_cast<qsizetype>(n) != wire.size() || !defs.Decode(wire))
        return c.Fail(E_INVALIDARG);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCItemMgt>(c)->AddItems(n, defs.defs.empty() ? nullptr : defs.defs.data(), &results,
                                                       &errors);
    return ItemResults(c, hr, n, results, errors);
}

QVariantList ItemMgt_ValidateItems(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 0);
    if (Sliced(n)) {
        IOPCItemMgt* items = Iface<IOPCItemMgt>(c);
        const BOOL blob = Arg<int>(c, 2);
        SliceItemDefs(c, items, n, [items, blob](DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** r, HRESULT** e) {
            return items->ValidateItems(count, defs, blob, r, e);
        });
        return {};
    }
    const QList<WireItemDef> wire = List<WireItemDef>(c, 1);
    ItemDefs defs;
    if (static_cast<qsizetype>(n) != wire.size() || !defs.Decode(wire))
        return c.Fail(E_INVALIDARG);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCItemMgt>(c)->ValidateItems(n, defs.defs.empty() ? nullptr : defs.defs.data(),
                                                            Arg<int>(c, 2), &results, &errors);
    return ItemResults(c, hr, n, results, errors);
}

QVariantList ErrorsOnly(CallContext& c, HRESULT hr, HRESULT* errors, DWORD n)
{
    const QList<int> errs = TakeErrors(errors, n);
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), L(errs)};
}

// A per-handle call in slices whose answer is (hr, errors): the handles
// (argument 1) and, when extra is given, a second array of T (argument 2)
// are decoded first; call(count, handles, extras, errors) serves a part.
template <typename T>
void SliceHandles(CallContext& c, IUnknown* target, quint32 n, bool extra,
                  std::function<HRESULT(DWORD, OPCHANDLE*, T*, HRESULT**)> call)
{
    struct State {
        State(const QVariant& h, const QVariant& x) : handles(h), extras(x) {}
        ArrayReader<uint> handles;
        ArrayReader<T> extras;
        QList<uint> h;
        QList<T> x;
        QList<int> errors;
    };
    auto st = std::make_shared<State>(c.args.at(1), extra ? c.args.at(2) : QVariant::fromValue(QList<T>{}));
    c.sliced = std::make_unique<ChunkedCall>(
        target, c.method.outSignature, n,
        [st, extra](quint32 count) { return st->handles.Read(count, st->h) && (!extra || st->extras.Read(count, st->x)); },
        [st] { return st->handles.AtEnd() && st->extras.AtEnd(); },
        [st, call, extra](quint32 first, quint32 count) {
            HRESULT* errors = nullptr;
            const HRESULT hr = call(count, st->h.data() + first, extra ? st->x.data() + first : nullptr, &errors);
            st->errors += TakeErrors(errors, count);
            return hr;
        },
        [st](HRESULT hr) { return QVariantList{V(hr), L(st->errors)}; });
}

QVariantList ItemMgt_RemoveItems(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 0);
    if (Sliced(n)) {
        IOPCItemMgt* items = Iface<IOPCItemMgt>(c);
        SliceHandles<uint>(c, items, n, false, [items](DWORD count, OPCHANDLE* h, uint*, HRESULT** e) {
            return items->RemoveItems(count, h, e);
        });
        return {};
    }
    QList<uint> h = List<uint>(c, 1);
    if (static_cast<qsizetype>(n) != h.size())
        return c.Fail(E_INVALIDARG);
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCItemMgt>(c)->RemoveItems(n, DataOrNull(h), &errors);
    return ErrorsOnly(c, hr, errors, n);
}

QVariantList ItemMgt_SetActiveState(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 0);
    if (Sliced(n)) {
        IOPCItemMgt* items = Iface<IOPCItemMgt>(c);
        const BOOL active = Arg<int>(c, 2);
        SliceHandles<uint>(c, items, n, false, [items, active](DWORD count, OPCHANDLE* h, uint*, HRESULT** e) {
            return items->SetActiveState(count, h, active, e);
        });
        return {};
    }
    QList<uint> h = List<uint>(c, 1);
    if (static_cast<qsizetype>(n) != h.size())
        return c.Fail(E_INVALIDARG);
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCItemMgt>(c)->SetActiveState(n, DataOrNull(h), Arg<int>(c, 2), &errors);
    return ErrorsOnly(c, hr, errors, n);
}

QVariantList ItemMgt_SetClientHandles(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 0);
    if (Sliced(n)) {
        IOPCItemMgt* items = Iface<IOPCItemMgt>(c);
        SliceHandles<uint>(c, items, n, true, [items](DWORD count, OPCHANDLE* h, uint* client, HRESULT** e) {
            return items->SetClientHandles(count, h, client, e);
        });
        return {};
    }
    QList<uint> h = List<uint>(c, 1);
    QList<uint> client = List<uint>(c, 2);
    if (static_cast<qsizetype>(n) != h.size() || static_cast<qsizetype>(n) != client.size())
        return c.Fail(E_INVALIDARG);
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCItemMgt>(c)->SetClientHandles(n, DataOrNull(h), DataOrNull(client), &errors);
    return ErrorsOnly(c, hr, errors, n);
}

QVariantList ItemMgt_SetDatatypes(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 0);
    if (Sliced(n)) {
        IOPCItemMgt* items = Iface<IOPCItemMgt>(c);
        SliceHandles<ushort>(c, items, n, true, [items](DWORD count, OPCHANDLE* h, ushort* types, HRESULT** e) {
            return items->SetDatatypes(count, h, types, e);
        });
        return {};
    }
    QList<uint> h = List<uint>(c, 1);
    QList<ushort> types = List<ushort>(c, 2);
    if (static_cast<qsizetype>(n) != h.size() || static_cast<qsizetype>(n) != types.size())
        return c.Fail(E_INVALIDARG);
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCItemMgt>(c)->SetDatatypes(n, DataOrNull(h), DataOrNull(types), &errors);
    return ErrorsOnly(c, hr, errors, n);
}

QVariantList ItemMgt_CreateEnumerator(CallContext& c)
{
    const auto iid = Iid(c, 0);
    if (!iid)
        return c.Fail(E_INVALIDARG);
    IUnknown* unk = nullptr;
    const HRESULT hr = Iface<IOPCItemMgt>(c)->CreateEnumerator(*iid, &unk);
    // S_FALSE: no items, and no enumerator.
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(unk) : QStringLiteral("/"))};
}

// ------------------------------------------------------------ IOPCSyncIO

QVariantList SyncIO_Read(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 1);
    if (Sliced(n)) {
        IOPCSyncIO* sync = Iface<IOPCSyncIO>(c);
        const auto source = static_cast<OPCDATASOURCE>(Arg<uint>(c, 0));
        struct State {
            explicit State(const QVariant& h) : handles(h) {}
            ArrayReader<uint> handles;
            QList<uint> h;
            QList<WireItemState> states;
            QList<int> errors;
            quint64 stamp = 0;
        };
        auto st = std::make_shared<State>(c.args.at(2));
        c.sliced = std::make_unique<ChunkedCall>(
            sync, c.method.outSignature, n, [st](quint32 count) { return st->handles.Read(count, st->h); },
            [st] { return st->handles.AtEnd(); },
            [st, sync, source](quint32 first, quint32 count) {
                OPCITEMSTATE* states = nullptr;
                HRESULT* errors = nullptr;
                const HRESULT hr = sync->Read(source, count, st->h.data() + first, &states, &errors);
                QList<int> errs = TakeErrors(errors, count);
                if (states) {
                    for (quint32 i = 0; i < count; ++i) {
                        bool ok = true;
                        WireItemState w = ItemStateToWire(states[i], &ok);
                        if (!ok && i < static_cast<quint32>(errs.size()) && SUCCEEDED(errs[i]))
                            errs[i] = DISP_E_BADVARTYPE;
                        // One call, one time: that of its first slice.
                        if (w.timeStamp != 0) {
                            if (st->stamp == 0)
                                st->stamp = w.timeStamp;
                            w.timeStamp = st->stamp;
                        }
                        st->states.push_back(w);
                        VariantClear(&states[i].vDataValue);
                    }
                    CoTaskMemFree(states);
                }
                st->errors += errs;
                return hr;
            },
            [st](HRESULT hr) { return QVariantList{V(hr), L(st->states), L(st->errors)}; });
        return {};
    }
    QList<uint> h = List<uint>(c, 2);
    if (static_cast<qsizetype>(n) != h.size())
        return c.Fail(E_INVALIDARG);
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCSyncIO>(c)->Read(static_cast<OPCDATASOURCE>(Arg<uint>(c, 0)), n, DataOrNull(h),
                                                  &states, &errors);
    QList<int> errs = TakeErrors(errors, n);
    QList<WireItemState> wire;
    if (states) {
        for (quint32 i = 0; i < n; ++i) {
            bool ok = true;
            wire.push_back(ItemStateToWire(states[i], &ok));
            if (!ok && i < static_cast<quint32>(errs.size()) && SUCCEEDED(errs[i]))
                errs[i] = DISP_E_BADVARTYPE;
            VariantClear(&states[i].vDataValue);
        }
        CoTaskMemFree(states);
    }
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), L(wire), L(errs)};
}

QVariantList SyncIO_Write(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 0);
    if (Sliced(n)) {
        IOPCSyncIO* sync = Iface<IOPCSyncIO>(c);
        struct State {
            State(const QVariant& h, const QVariant& v) : handles(h), values(v) {}
            ArrayReader<uint> handles;
            ArrayReader<WireVariant> values;
            QList<uint> h;
            std::vector<std::unique_ptr<Variants>> chunks;
            QList<int> errors;
        };
        auto st = std::make_shared<State>(c.args.at(1), c.args.at(2));
        c.sliced = std::make_unique<ChunkedCall>(
            sync, c.method.outSignature, n,
            [st](quint32 count) {
                QList<WireVariant> wire;
                auto values = std::make_unique<Variants>();
                if (!st->handles.Read(count, st->h) || !st->values.Read(count, wire) || !values->Decode(wire))
                    return false;
                st->chunks.push_back(std::move(values));
                return true;
            },
            [st] { return st->handles.AtEnd() && st->values.AtEnd(); },
            [st, sync](quint32 first, quint32 count) {
                Variants& values = *st->chunks[first / kSlicePart];
                HRESULT* errors = nullptr;
                const HRESULT hr = sync->Write(count, st->h.data() + first, values.data(), &errors);
                st->errors += TakeErrors(errors, count);
                st->chunks[first / kSlicePart].reset();
                return hr;
            },
            [st](HRESULT hr) { return QVariantList{V(hr), L(st->errors)}; });
        return {};
    }
    QList<uint> h = List<uint>(c, 1);
    const QList<WireVariant> wire = List<WireVariant>(c, 2);
    Variants values;
    if (static_cast<qsizetype>(n) != h.size() || static_cast<qsizetype>(n) != wire.size() || !values.Decode(wire))
        return c.Fail(E_INVALIDARG);
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCSyncIO>(c)->Write(n, DataOrNull(h), values.data(), &errors);
    return ErrorsOnly(c, hr, errors, n);
}

// ------------------------------------------------------------ IOPCAsyncIO2

QVariantList CancelAndErrors(CallContext& c, HRESULT hr, DWORD cancelId, HRESULT* errors, DWORD n)
{
    const QList<int> errs = TakeErrors(errors, n);
    if (FAILED(hr))
        return c.Fail(hr);
    return {V(hr), U(cancelId), L(errs)};
}

QVariantList AsyncIO2_Read(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 0);
    QList<uint> h = List<uint>(c, 1);
    if (static_cast<qsizetype>(n) != h.size())
        return c.Fail(E_INVALIDARG);
    DWORD cancelId = 0;
    HRESULT* errors = nullptr;
    const HRESULT hr = Iface<IOPCAsyncIO2>(c)->Read(n, DataOrNull(h), Arg<uint>(c, 2), &cancelId, &errors);
    return CancelAndErrors(c, hr, cancelId, errors, n);
}

QVariantList AsyncIO2_Write(CallContext& c)
{
    const quint32 n = Arg<uint>(c, 0);
    QList<uint> h = List<uint>(c, 1);
    const QList<WireVariant> wire = List<WireVariant>(c, 2);
    Variants values;
    if (static_cast<qsizetype>(n) != h.size() || static_cast<qsizetype>(n) != wire.size() || !values.Decode(wire))
        return c.Fail(E_INVALIDARG);
    DWORD cancelId = 0;
    HRESULT* errors = nullptr;
    const HRESULT hr =
        Iface<IOPCAsyncIO2>(c)->Write(n, DataOrNull(h), values.data(), Arg<uint>(c, 3), &cancelId, &errors);
    return CancelAndErrors(c, hr, cancelId, errors, n);
}

QVariantList AsyncIO2_Refresh2(CallContext& c)
{
    DWORD cancelId = 0;
    const HRESULT hr =
        Iface<IOPCAsyncIO2>(c)->Refresh2(static_cast<OPCDATASOURCE>(Arg<uint>(c, 0)), Arg<uint>(c, 1), &cancelId);
    return {V(hr), U(SUCCEEDED(hr) ? cancelId : 0)};
}

QVariantList AsyncIO2_Cancel2(CallContext& c) { return {V(Iface<IOPCAsyncIO2>(c)->Cancel2(Arg<uint>(c, 0)))}; }
QVariantList AsyncIO2_SetEnable(CallContext& c) { return {V(Iface<IOPCAsyncIO2>(c)->SetEnable(Arg<int>(c, 0)))}; }

QVariantList AsyncIO2_GetEnable(CallContext& c)
{
    BOOL enable = 0;
    const HRESULT hr = Iface<IOPCAsyncIO2>(c)->GetEnable(&enable);
    return {V(hr), I(SUCCEEDED(hr) ? enable : 0)};
}

// ------------------------------------------------------------ connection points

QVariantList Container_EnumConnectionPoints(CallContext& c)
{
    IEnumConnectionPoints* e = nullptr;
    const HRESULT hr = Iface<IConnectionPointContainer>(c)->EnumConnectionPoints(&e);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(e) : QStringLiteral("/"))};
}

QVariantList Container_FindConnectionPoint(CallContext& c)
{
    const auto iid = Iid(c, 0);
    if (!iid)
        return c.Fail(E_INVALIDARG);
    IConnectionPoint* p = nullptr;
    const HRESULT hr = Iface<IConnectionPointContainer>(c)->FindConnectionPoint(*iid, &p);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(p) : QStringLiteral("/"))};
}

QVariantList Point_GetConnectionInterface(CallContext& c)
{
    IID iid = GUID_NULL;
    const HRESULT hr = Iface<IConnectionPoint>(c)->GetConnectionInterface(&iid);
    return {V(hr), SUCCEEDED(hr) ? GuidText(iid) : QString()};
}

QVariantList Point_GetConnectionPointContainer(CallContext& c)
{
    IConnectionPointContainer* cpc = nullptr;
    const HRESULT hr = Iface<IConnectionPoint>(c)->GetConnectionPointContainer(&cpc);
    return {V(hr), Path(SUCCEEDED(hr) ? c.Export(cpc) : QStringLiteral("/"))};
}

QVariantList Point_Advise(CallContext& c)
{
    const QString sinkPath = Arg<QDBusObjectPath>(c, 0).path();
    if (sinkPath == QLatin1String("/"))
        return c.Fail(E_POINTER); // a null sink
    IID iid = GUID_NULL;
    Iface<IConnectionPoint>(c)->GetConnectionInterface(&iid);
    RemoteSink* sink =
        RemoteSink::Create(c.server.Flows().Channel(c.client), c.server.Connection(), c.client, sinkPath, iid);
    if (!sink)
        return c.Fail(E_OUTOFMEMORY);
    ComPtr<IUnknown> hold(static_cast<IOPCDataCallback*>(sink));
    DWORD cookie = 0;
    const HRESULT hr = Iface<IConnectionPoint>(c)->Advise(hold.get(), &cookie);
    return {V(hr), U(SUCCEEDED(hr) ? cookie : 0)};
}

QVariantList Point_Unadvise(CallContext& c) { return {V(Iface<IConnectionPoint>(c)->Unadvise(Arg<uint>(c, 0)))}; }

QVariantList Point_EnumConnections(CallContext& c)
{
    // The connections are the clients' own objects: they are not handed out.
    return c.Fail(E_NOTIMPL);
}

// ------------------------------------------------------------ the table

using Key = std::pair<QString, QString>;

const std::map<Key, Adaptor>& Table()
{
    static const std::map<Key, Adaptor> table = {
        {{"opc.IClassFactory", "CreateInstance"}, ClassFactory_CreateInstance},
        {{"opc.IClassFactory", "LockServer"}, ClassFactory_LockServer},
        {{"opc.IOPCServer", "AddGroup"}, Server_AddGroup},
        {{"opc.IOPCServer", "GetErrorString"}, Server_GetErrorString},
        {{"opc.IOPCServer", "GetGroupByName"}, Server_GetGroupByName},
        {{"opc.IOPCServer", "GetStatus"}, Server_GetStatus},
        {{"opc.IOPCServer", "RemoveGroup"}, Server_RemoveGroup},
        {{"opc.IOPCServer", "CreateGroupEnumerator"}, Server_CreateGroupEnumerator},
        {{"opc.IOPCCommon", "SetLocaleID"}, Common_SetLocaleID},
        {{"opc.IOPCCommon", "GetLocaleID"}, Common_GetLocaleID},
        {{"opc.IOPCCommon", "QueryAvailableLocaleIDs"}, Common_QueryAvailableLocaleIDs},
        {{"opc.IOPCCommon", "GetErrorString"}, Common_GetErrorString},
        {{"opc.IOPCCommon", "SetClientName"}, Common_SetClientName},
        {{"opc.IOPCBrowseServerAddressSpace", "QueryOrganization"}, Browse_QueryOrganization},
        {{"opc.IOPCBrowseServerAddressSpace", "ChangeBrowsePosition"}, Browse_ChangeBrowsePosition},
        {{"opc.IOPCBrowseServerAddressSpace", "BrowseOPCItemIDs"}, Browse_BrowseOPCItemIDs},
        {{"opc.IOPCBrowseServerAddressSpace", "GetItemID"}, Browse_GetItemID},
        {{"opc.IOPCBrowseServerAddressSpace", "BrowseAccessPaths"}, Browse_BrowseAccessPaths},
        {{"opc.IOPCItemProperties", "QueryAvailableProperties"}, Props_QueryAvailableProperties},
        {{"opc.IOPCItemProperties", "GetItemProperties"}, Props_GetItemProperties},
        {{"opc.IOPCItemProperties", "LookupItemIDs"}, Props_LookupItemIDs},
        {{"opc.IOPCGroupStateMgt", "GetState"}, State_GetState},
        {{"opc.IOPCGroupStateMgt", "SetState"}, State_SetState},
        {{"opc.IOPCGroupStateMgt", "SetName"}, State_SetName},
        {{"opc.IOPCGroupStateMgt", "CloneGroup"}, State_CloneGroup},
        {{"opc.IEnumOPCItemAttributes", "Next"}, EnumItemAttributes_Next},
        {{"opc.IEnumOPCItemAttributes", "Skip"}, Enum_Skip<IEnumOPCItemAttributes>},
        {{"opc.IEnumOPCItemAttributes", "Reset"}, Enum_Reset<IEnumOPCItemAttributes>},
        {{"opc.IEnumOPCItemAttributes", "Clone"}, Enum_Clone<IEnumOPCItemAttributes>},
        {{"opc.IOPCItemMgt", "AddItems"}, ItemMgt_AddItems},
        {{"opc.IOPCItemMgt", "ValidateItems"}, ItemMgt_ValidateItems},
        {{"opc.IOPCItemMgt", "RemoveItems"}, ItemMgt_RemoveItems},
        {{"opc.IOPCItemMgt", "SetActiveState"}, ItemMgt_SetActiveState},
        {{"opc.IOPCItemMgt", "SetClientHandles"}, ItemMgt_SetClientHandles},
        {{"opc.IOPCItemMgt", "SetDatatypes"}, ItemMgt_SetDatatypes},
        {{"opc.IOPCItemMgt", "CreateEnumerator"}, ItemMgt_CreateEnumerator},
        {{"opc.IOPCSyncIO", "Read"}, SyncIO_Read},
        {{"opc.IOPCSyncIO", "Write"}, SyncIO_Write},
        {{"opc.IOPCAsyncIO2", "Read"}, AsyncIO2_Read},
        {{"opc.IOPCAsyncIO2", "Write"}, AsyncIO2_Write},
        {{"opc.IOPCAsyncIO2", "Refresh2"}, AsyncIO2_Refresh2},
        {{"opc.IOPCAsyncIO2", "Cancel2"}, AsyncIO2_Cancel2},
        {{"opc.IOPCAsyncIO2", "SetEnable"}, AsyncIO2_SetEnable},
        {{"opc.IOPCAsyncIO2", "GetEnable"}, AsyncIO2_GetEnable},
        {{"opc.IEnumString", "Next"}, EnumString_Next},
        {{"opc.IEnumString", "Skip"}, Enum_Skip<IEnumString>},
        {{"opc.IEnumString", "Reset"}, Enum_Reset<IEnumString>},
        {{"opc.IEnumString", "Clone"}, Enum_Clone<IEnumString>},
        {{"opc.IEnumUnknown", "Next"}, EnumUnknown_Next},
        {{"opc.IEnumUnknown", "Skip"}, Enum_Skip<IEnumUnknown>},
        {{"opc.IEnumUnknown", "Reset"}, Enum_Reset<IEnumUnknown>},
        {{"opc.IEnumUnknown", "Clone"}, Enum_Clone<IEnumUnknown>},
        {{"opc.IEnumConnectionPoints", "Next"}, EnumConnectionPoints_Next},
        {{"opc.IEnumConnectionPoints", "Skip"}, Enum_Skip<IEnumConnectionPoints>},
        {{"opc.IEnumConnectionPoints", "Reset"}, Enum_Reset<IEnumConnectionPoints>},
        {{"opc.IEnumConnectionPoints", "Clone"}, Enum_Clone<IEnumConnectionPoints>},
        {{"opc.IConnectionPointContainer", "EnumConnectionPoints"}, Container_EnumConnectionPoints},
        {{"opc.IConnectionPointContainer", "FindConnectionPoint"}, Container_FindConnectionPoint},
        {{"opc.IConnectionPoint", "GetConnectionInterface"}, Point_GetConnectionInterface},
        {{"opc.IConnectionPoint", "GetConnectionPointContainer"}, Point_GetConnectionPointContainer},
        {{"opc.IConnectionPoint", "Advise"}, Point_Advise},
        {{"opc.IConnectionPoint", "Unadvise"}, Point_Unadvise},
        {{"opc.IConnectionPoint", "EnumConnections"}, Point_EnumConnections},
    };
    return table;
}

} // namespace

Adaptor FindAdaptor(const QString& interface, const QString& member)
{
    auto it = Table().find({interface, member});
    return it == Table().end() ? nullptr : it->second;
}

std::vector<std::pair<QString, QString>> AdaptorNames()
{
    std::vector<std::pair<QString, QString>> out;
    for (const auto& [key, fn] : Table())
        out.push_back(key);
    return out;
}

} // namespace opcdbus
