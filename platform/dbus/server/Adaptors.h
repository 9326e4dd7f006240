#pragma once
// The per-interface adaptors of the server side: each unmarshals the
// in-arguments of one method (their signature already checked), calls the
// COM method, marshals the HRESULT and the out-parameters, and frees what
// the method allocated. Internal to the server library.
#include "ComObject.h"

#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QString>
#include <QVariantList>

#include <memory>
#include <utility>
#include <vector>

namespace opcdbus {

class BusServer;
struct MethodInfo;

// A request with more than kSliceEntries entries (AddItems, ValidateItems,
// RemoveItems, SetActiveState, SetClientHandles, SetDatatypes, and the
// synchronous Read and Write) is served in slices: its arguments are decoded
// and the COM method is called for kSlicePart entries at a time, as many
// parts a slice as fit in about kSliceBudgetMs, and the main thread returns
// to its event loop between slices (the serial ports keep being read). The answer is
// the one a single call would give: the entries' results in order, S_FALSE
// when any entry failed; a count that disagrees with its array is refused
// before any entry is served. A failure of the call itself (the object was
// disconnected, memory ran out) part way answers that failure, with the
// entries served before it done. All values a sliced Read returns carry the
// time stamp of its first slice.
inline constexpr quint32 kSliceEntries = 1024;
inline constexpr quint32 kSlicePart = 256;
inline constexpr int kSliceBudgetMs = 2;

// A call served in slices. BusServer runs Step from its event loop until it
// says the answer is ready. The call holds its COM target (and tells it a
// request is in progress, ISlicedRequest) until it is destroyed.
class SlicedCall {
public:
    virtual ~SlicedCall() = default;
    // Serves a part, until about `until`; true when the answer is ready.
    virtual bool Step(const QDeadlineTimer& until) = 0;
    // The answer (after Step said it was ready).
    virtual QVariantList Outs() = 0;
};

struct CallContext {
    BusServer& server;
    const QDBusMessage& message;
    const QString& client; // the caller's unique name
    const MethodInfo& method;
    const QVariantList& args;
    void* iface; // the COM interface of the D-Bus interface called (one reference, held by the caller)
    // Set by an adaptor that serves the call in slices (its outs are then
    // ignored; the answer comes from the sliced call).
    std::unique_ptr<SlicedCall> sliced;

    // A path for an interface pointer handed to the client (takes over its
    // reference).
    QString Export(IUnknown* adopted) const;
    // The method's answer for a call refused before the COM object was reached.
    QVariantList Fail(HRESULT hr) const;
};

using Adaptor = QVariantList (*)(CallContext&);

// The adaptor of interface.member ("opc.IOPCServer", "AddGroup"), or null.
Adaptor FindAdaptor(const QString& interface, const QString& member);
// Every (interface, member) that has an adaptor.
std::vector<std::pair<QString, QString>> AdaptorNames();

} // namespace opcdbus
