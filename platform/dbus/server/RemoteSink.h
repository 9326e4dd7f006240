#pragma once
// RemoteSink: a client's sink object (on the client's own connection) seen
// by the server's objects as a local COM object implementing
// IOPCDataCallback and IOPCShutdown.
//
// Never waits on the client where the server's main thread runs its pulse:
// - the callbacks are sent as D-Bus calls that expect no reply, with every
//   array copied into the message before the call returns, through the
//   client's channel (ClientFlow.h), which keeps them in order while the
//   client is not reading and stops them when it was dropped;
// - QueryInterface never makes a call that waits. It answers IUnknown at
//   once. The interface the sink was advised for is asked of the client
//   once, without waiting, when the sink is made; it is answered "yes"
//   unless the client explicitly refused it (a reply with a failed result
//   or no object): a query that was not answered in time means "keep
//   sending as advised", so a client that was slow or stopped gets the next
//   callbacks once it reads again. Any other interface is asked the same
//   way and answered "no" until the client said yes.
// A client that has left simply receives nothing.
//
// References: the client's path counts one reference for this wrapper (the
// client handed it over in Advise); when the wrapper goes it sends
// opc.IUnknown.Release so that the client may drop its export. Extra
// references the client's QueryInterface answers add are given back at once.
// Main thread only.
#include "ClientFlow.h"
#include "ComObject.h"
#include "OPCDA.h"
#include "SinkFlow.h"

#include <QDBusConnection>
#include <QString>

#include <map>
#include <memory>

namespace opcdbus {

class RemoteSink final : public ComObject, public IOPCDataCallback, public IOPCShutdown, public ISinkFlow {
public:
    // How long an interface query may go unanswered before it counts as
    // not answered (and the callbacks go on as advised).
    static constexpr int kQueryTimeoutMs = 1000;

    // A new wrapper with no reference yet (the caller adds the first).
    // advised: the connection point's interface, asked for at once.
    static RemoteSink* Create(std::shared_ptr<ClientChannel> channel, const QDBusConnection& connection,
                              const QString& client, const QString& path, REFIID advised);

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                         DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                         FILETIME* pftTimeStamps, HRESULT* pErrors) override;
    HRESULT OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                           DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                           FILETIME* pftTimeStamps, HRESULT* pErrors) override;
    HRESULT OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                            OPCHANDLE* pClienthandles, HRESULT* pErrors) override;
    HRESULT OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override;
    HRESULT ShutdownRequest(LPCWSTR szReason) override;
    // ISinkFlow: the state of the client's channel.
    SinkFlowState FlowState() override;

    const QString& Client() const { return client_; }
    const QString& Path() const { return path_; }
    // Calls sent so far (for tests).
    int CallsSent() const { return sent_; }

private:
    // What the client said about an interface; shared with replies in flight.
    struct Answers {
        std::map<QString, bool> known; // GUID text -> what the client answered
        std::map<QString, bool> asked; // GUID text -> a query is (or was) on its way
    };

    RemoteSink(std::shared_ptr<ClientChannel> channel, const QDBusConnection& connection, const QString& client,
               const QString& path, REFIID advised);
    ~RemoteSink() override;
    // Asks the client for iid without waiting; the answer is kept.
    void ask(const QString& iid);
    HRESULT dataCall(const char* member, DWORD transId, OPCHANDLE group, HRESULT quality, HRESULT error,
                     DWORD count, OPCHANDLE* handles, VARIANT* values, WORD* qualities, FILETIME* stamps,
                     HRESULT* errors);
    void send(const QString& iface, const QString& member, const QVariantList& args);

    std::shared_ptr<ClientChannel> channel_;
    QDBusConnection connection_;
    QString client_;
    QString path_;
    QString advised_;
    std::shared_ptr<Answers> answers_;
    int sent_ = 0;
};

} // namespace opcdbus
