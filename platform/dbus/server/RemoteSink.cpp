#include "RemoteSink.h"

#include "Wire.h"

#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>

namespace opcdbus {

namespace {

const QString kIUnknown = QStringLiteral("opc.IUnknown");
const QString kDataCallback = QStringLiteral("opc.IOPCDataCallback");
const QString kShutdown = QStringLiteral("opc.IOPCShutdown");

// A QueryInterface reply: (supported, path answered).
std::pair<bool, QString> ParseQueryReply(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("io"))
        return {false, {}};
    const int hr = reply.arguments().at(0).toInt();
    const QString path = reply.arguments().at(1).value<QDBusObjectPath>().path();
    return {SUCCEEDED(hr) && path != QLatin1String("/"), path};
}

} // namespace

RemoteSink* RemoteSink::Create(std::shared_ptr<ClientChannel> channel, const QDBusConnection& connection,
                               const QString& client, const QString& path, REFIID advised)
{
    return new (std::nothrow) RemoteSink(std::move(channel), connection, client, path, advised);
}

RemoteSink::RemoteSink(std::shared_ptr<ClientChannel> channel, const QDBusConnection& connection,
                       const QString& client, const QString& path, REFIID advised)
    : channel_(std::move(channel)), connection_(connection), client_(client), path_(path),
      advised_(GuidText(advised)), answers_(std::make_shared<Answers>())
{
    RegisterWireTypes();
    ask(advised_);
}

void RemoteSink::ask(const QString& iid)
{
    if (answers_->asked[iid])
        return;
    answers_->asked[iid] = true;
    QDBusMessage query = QDBusMessage::createMethodCall(client_, path_, kIUnknown, QStringLiteral("QueryInterface"));
    query << iid;
    query.setAutoStartService(false);
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(query, kQueryTimeoutMs));
    // The wrapper may be gone when the reply comes: only shared state is used.
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                     [answers = answers_, iid, connection = connection_, client = client_](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         const QDBusMessage reply = w->reply();
                         // Only the client's own answer counts: no reply in
                         // time, or an error, says nothing about the sink.
                         if (reply.type() != QDBusMessage::ReplyMessage ||
                             reply.signature() != QLatin1String("io"))
                             return;
                         const auto [supported, path] = ParseQueryReply(reply);
                         answers->known[iid] = supported;
                         if (supported) {
                             // The answer handed over a reference more.
                             QDBusMessage release =
                                 QDBusMessage::createMethodCall(client, path, kIUnknown, QStringLiteral("Release"));
                             release.setAutoStartService(false);
                             QDBusConnection(connection).send(release);
                         }
                     });
}

RemoteSink::~RemoteSink() { send(kIUnknown, QStringLiteral("Release"), {}); }

void RemoteSink::send(const QString& iface, const QString& member, const QVariantList& args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(client_, path_, iface, member);
    call.setArguments(args);
    call.setAutoStartService(false);
    // Sent without a reply expected: the main thread never waits here. The
    // final Release is no callback: it goes whatever the client's state.
    if (iface == kIUnknown || !channel_) {
        if (connection_.send(call))
            ++sent_;
        return;
    }
    channel_->Send(call);
    ++sent_;
}

SinkFlowState RemoteSink::FlowState() { return channel_ ? channel_->State() : SinkFlowState::Open; }

HRESULT RemoteSink::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    auto answer = [&](bool yes) -> HRESULT {
        if (!yes)
            return E_NOINTERFACE;
        if (riid == IID_IOPCShutdown)
            return ComAnswer(static_cast<IOPCShutdown*>(this), ppv);
        if (riid == IID_IOPCDataCallback)
            return ComAnswer(static_cast<IOPCDataCallback*>(this), ppv);
        if (riid == IID_ISinkFlow)
            return ComAnswer(static_cast<ISinkFlow*>(this), ppv);
        return ComAnswer(static_cast<IUnknown*>(static_cast<IOPCDataCallback*>(this)), ppv);
    };
    if (riid == IID_IUnknown || riid == IID_ISinkFlow)
        return answer(true);
    if (riid != IID_IOPCDataCallback && riid != IID_IOPCShutdown)
        return E_NOINTERFACE; // nothing else can be forwarded
    const QString iid = GuidText(riid);
    if (auto it = answers_->known.find(iid); it != answers_->known.end())
        return answer(it->second);
    if (iid == advised_)
        return answer(true); // advised, and not refused
    ask(iid);
    return answer(false);
}

HRESULT RemoteSink::dataCall(const char* member, DWORD transId, OPCHANDLE group, HRESULT quality, HRESULT error,
                             DWORD count, OPCHANDLE* handles, VARIANT* values, WORD* qualities, FILETIME* stamps,
                             HRESULT* errors)
{
    if (count && (!handles || !values || !qualities || !stamps || !errors))
        return E_INVALIDARG;
    QList<uint> h;
    QList<WireVariant> v;
    QList<ushort> q;
    QList<qulonglong> t;
    QList<int> e;
    h.reserve(count);
    v.reserve(count);
    q.reserve(count);
    t.reserve(count);
    e.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        WireVariant w;
        HRESULT itemError = errors[i];
        // A value without a wire form reaches the client as VT_EMPTY with
        // the reason as its error.
        if (FAILED(VariantToWire(values[i], w)) && SUCCEEDED(itemError))
            itemError = DISP_E_BADVARTYPE;
        h.push_back(handles[i]);
        v.push_back(w);
        q.push_back(qualities[i]);
        t.push_back(FileTimeValue(stamps[i]));
        e.push_back(itemError);
    }
    send(kDataCallback, QString::fromLatin1(member),
         {QVariant::fromValue<uint>(transId), QVariant::fromValue<uint>(group), QVariant::fromValue<int>(quality),
          QVariant::fromValue<int>(error), QVariant::fromValue<uint>(count), QVariant::fromValue(h),
          QVariant::fromValue(v), QVariant::fromValue(q), QVariant::fromValue(t), QVariant::fromValue(e)});
    return S_OK;
}

HRESULT RemoteSink::OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                 DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                 FILETIME* pftTimeStamps, HRESULT* pErrors)
{
    return dataCall("OnDataChange", dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems, pvValues,
                    pwQualities, pftTimeStamps, pErrors);
}

HRESULT RemoteSink::OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                   DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                   FILETIME* pftTimeStamps, HRESULT* pErrors)
{
    return dataCall("OnReadComplete", dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems,
                    pvValues, pwQualities, pftTimeStamps, pErrors);
}

HRESULT RemoteSink::OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                                    OPCHANDLE* pClienthandles, HRESULT* pErrors)
{
    if (dwCount && (!pClienthandles || !pErrors))
        return E_INVALIDARG;
    QList<uint> h(pClienthandles, pClienthandles + dwCount);
    QList<int> e(pErrors, pErrors + dwCount);
    send(kDataCallback, QStringLiteral("OnWriteComplete"),
         {QVariant::fromValue<uint>(dwTransid), QVariant::fromValue<uint>(hGroup), QVariant::fromValue<int>(hrMastererr),
          QVariant::fromValue<uint>(dwCount), QVariant::fromValue(h), QVariant::fromValue(e)});
    return S_OK;
}

HRESULT RemoteSink::OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup)
{
    send(kDataCallback, QStringLiteral("OnCancelComplete"),
         {QVariant::fromValue<uint>(dwTransid), QVariant::fromValue<uint>(hGroup)});
    return S_OK;
}

HRESULT RemoteSink::ShutdownRequest(LPCWSTR szReason)
{
    send(kShutdown, QStringLiteral("ShutdownRequest"), {FromWide(szReason)});
    return S_OK;
}

} // namespace opcdbus
