#pragma once
// The D-Bus interfaces of the OPC object model, read from their introspection
// XML (docs/dbus/*.xml, compiled into the library): the source of truth for
// the argument signatures that both sides check, for the Introspect replies,
// and for the mapping between COM interface identifiers and D-Bus interface
// names ("opc." + the COM interface name).
#include "Guid.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include <vector>

namespace opcdbus {

struct MethodInfo {
    QString name;
    QString inSignature;  // all in-arguments concatenated
    QString outSignature; // all out-arguments concatenated
};

struct InterfaceInfo {
    QString name;     // "opc.IOPCServer"
    IID iid{};        // the COM interface's identifier
    QString xml;      // the <interface> element as in the XML file
    std::vector<MethodInfo> methods;

    const MethodInfo* Method(const QString& member) const;
};

// One embedded XML file.
struct EmbeddedXml {
    const char* file; // "opc.IOPCServer.xml"
    const char* text;
};
const std::vector<EmbeddedXml>& EmbeddedInterfaceXml();

// Every interface of the mapping, parsed once.
const std::vector<InterfaceInfo>& AllInterfaces();
// By D-Bus name ("opc.IOPCServer"); null when unknown.
const InterfaceInfo* FindInterface(const QString& name);
// By COM identifier; null when the interface has no D-Bus form.
const InterfaceInfo* FindInterface(REFIID iid);

// Parses one XML document; false (and an explanation) when it is not a
// well-formed introspection document. Exposed for the tests of the files.
bool ParseInterfaceXml(const QString& xml, std::vector<InterfaceInfo>& out, QString* error);

// A signature split into its complete types ("ia(qv)s" -> i, a(qv), s).
QStringList SplitSignature(const QString& signature);
// The zero or empty value of one complete type of the mapping (0, "", "/",
// an empty array, a zero structure); invalid for a type the mapping does not
// use.
QVariant ZeroValueOf(const QString& type);
// hr followed by the zero values of the rest of outSignature (whose first
// type is the HRESULT).
QVariantList ZeroOuts(const QString& outSignature, int hr);
// The signature of arguments as they would be sent.
QString SignatureOfArgs(const QVariantList& args);

// Standard D-Bus error names used by both sides.
inline const char* const kErrorUnknownObject = "org.freedesktop.DBus.Error.UnknownObject";
inline const char* const kErrorUnknownInterface = "org.freedesktop.DBus.Error.UnknownInterface";
inline const char* const kErrorUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
inline const char* const kErrorInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
inline const char* const kErrorFailed = "org.freedesktop.DBus.Error.Failed";

} // namespace opcdbus
