#pragma once
// The per-interface adaptors of the server side: each unmarshals the
// in-arguments of one method (their signature already checked), calls the
// COM method, marshals the HRESULT and the out-parameters, and frees what
// the method allocated. Internal to the server library.
#include "ComObject.h"

#include <QDBusMessage>
#include <QString>
#include <QVariantList>

#include <utility>
#include <vector>

namespace opcdbus {

class BusServer;
struct MethodInfo;

struct CallContext {
    BusServer& server;
    const QDBusMessage& message;
    const QString& client; // the caller's unique name
    const MethodInfo& method;
    const QVariantList& args;
    void* iface; // the COM interface of the D-Bus interface called (one reference, held by the caller)

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
