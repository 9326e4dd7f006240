#pragma once
// The wire form of the OPC object model on D-Bus, shared by the server's
// adaptors and the client's proxies: VARIANT as (qv), the OPC structures with
// every field in declaration order (reserved fields included), GUID texts and
// the well-known bus name of a class.
//
// Ownership: the *ToWire functions only read their COM input. The *FromWire
// functions that fill COM memory say who frees what; on failure they leave
// nothing allocated. Decoding never trusts the peer: every type code, inner
// signature, range and length is checked, and anything unexpected gives
// E_INVALIDARG.
#include "Guid.h"
#include "OPCtypes.h"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QString>
#include <QVariant>

#include <optional>
#include <string>
#include <vector>

namespace opcdbus {

// (qv): the VARTYPE and the value. The value is kept normalised: a basic
// Qt value (short, ushort, int, uint, qlonglong, qulonglong, double, bool,
// uchar, QString), QByteArray for ay, QStringList for as, or QList<T> of a
// basic T for the other arrays. Anything else that arrives (structures,
// nested arrays, object paths, file descriptors, ...) is kept as a
// QDBusSignature of its signature and refused by VariantFromWire.
struct WireVariant {
    quint16 vt = VT_EMPTY;
    QVariant value = QString();
};

// OPCITEMDEF (ssiuuayqq)
struct WireItemDef {
    QString accessPath;
    QString itemId;
    qint32 active = 0;
    quint32 hClient = 0;
    quint32 blobSize = 0;
    QByteArray blob;
    quint16 vtRequested = 0;
    quint16 reserved = 0;
};

// OPCITEMRESULT (uqquuay)
struct WireItemResult {
    quint32 hServer = 0;
    quint16 vtCanonical = 0;
    quint16 reserved = 0;
    quint32 accessRights = 0;
    quint32 blobSize = 0;
    QByteArray blob;
};

// OPCITEMSTATE (utqq(qv))
struct WireItemState {
    quint32 hClient = 0;
    quint64 timeStamp = 0;
    quint16 quality = 0;
    quint16 reserved = 0;
    WireVariant value;
};

// OPCSERVERSTATUS (tttuuuqqqqs)
struct WireServerStatus {
    quint64 startTime = 0;
    quint64 currentTime = 0;
    quint64 lastUpdateTime = 0;
    quint32 serverState = 0;
    quint32 groupCount = 0;
    quint32 bandWidth = 0;
    quint16 majorVersion = 0;
    quint16 minorVersion = 0;
    quint16 buildNumber = 0;
    quint16 reserved = 0;
    QString vendorInfo;
};

// OPCITEMATTRIBUTES (ssiuuuuayqqu(qv))
struct WireItemAttributes {
    QString accessPath;
    QString itemId;
    qint32 active = 0;
    quint32 hClient = 0;
    quint32 hServer = 0;
    quint32 accessRights = 0;
    quint32 blobSize = 0;
    QByteArray blob;
    quint16 vtRequested = 0;
    quint16 vtCanonical = 0;
    quint32 euType = 0;
    WireVariant euInfo;
};

QDBusArgument& operator<<(QDBusArgument& a, const WireVariant& v);
const QDBusArgument& operator>>(const QDBusArgument& a, WireVariant& v);
QDBusArgument& operator<<(QDBusArgument& a, const WireItemDef& v);
const QDBusArgument& operator>>(const QDBusArgument& a, WireItemDef& v);
QDBusArgument& operator<<(QDBusArgument& a, const WireItemResult& v);
const QDBusArgument& operator>>(const QDBusArgument& a, WireItemResult& v);
QDBusArgument& operator<<(QDBusArgument& a, const WireItemState& v);
const QDBusArgument& operator>>(const QDBusArgument& a, WireItemState& v);
QDBusArgument& operator<<(QDBusArgument& a, const WireServerStatus& v);
const QDBusArgument& operator>>(const QDBusArgument& a, WireServerStatus& v);
QDBusArgument& operator<<(QDBusArgument& a, const WireItemAttributes& v);
const QDBusArgument& operator>>(const QDBusArgument& a, WireItemAttributes& v);

// Registers the wire types with Qt's meta-type system (idempotent; both
// sides call it before their first message).
void RegisterWireTypes();

// The D-Bus signature of a normalised value ("" for an unknown one).
QString SignatureOf(const QVariant& value);
// The signature a VARTYPE's value travels as, or nullopt for a type that
// has no wire form (VT_BYREF, VT_VECTOR, VT_DISPATCH, VT_VARIANT, ...).
std::optional<QString> WireSignatureOf(VARTYPE vt);

// VARIANT -> (qv). DISP_E_BADVARTYPE for a type without a wire form (out
// then holds VT_EMPTY).
HRESULT VariantToWire(const VARIANT& v, WireVariant& out);
// (qv) -> VARIANT. *out must be initialised or cleared (it is overwritten,
// not cleared); on success it owns a new BSTR or SAFEARRAY the caller clears.
// E_INVALIDARG (out left VT_EMPTY) for an unknown type code, a value whose
// signature is not the one of its type, or a value out of the type's range.
HRESULT VariantFromWire(const WireVariant& w, VARIANT* out);

// VT_DECIMAL as its exact decimal text ("-12.500": the scale is kept).
QString DecimalToText(const DECIMAL& d);
// Strict: [-]digits[.digits], at most 28 decimals, |mantissa| < 2^96.
std::optional<DECIMAL> DecimalFromText(const QString& text);

// Wide strings. A null pointer reads as "".
QString FromWide(LPCWSTR text);
std::u16string WideOf(const QString& text);
// A copy from the task allocator (the receiver frees it); nullptr when out of
// memory.
LPWSTR TaskWide(const QString& text);

// GUID text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
QString GuidText(REFGUID g);
std::optional<GUID> GuidFromText(const QString& text);
// "opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8"
QString WellKnownName(REFCLSID clsid);

// Struct conversions. The COM side of the ToWire direction is only read.
WireItemDef ItemDefToWire(const OPCITEMDEF& d);
WireItemResult ItemResultToWire(const OPCITEMRESULT& r);
// A value that has no wire form travels as VT_EMPTY; *valueOk tells.
WireItemState ItemStateToWire(const OPCITEMSTATE& s, bool* valueOk = nullptr);
WireServerStatus ServerStatusToWire(const OPCSERVERSTATUS& s);
WireItemAttributes ItemAttributesToWire(const OPCITEMATTRIBUTES& a, bool* valueOk = nullptr);

// OPCITEMDEF whose strings and blob point into storage owned by the caller
// (the wire value and the strings vector), for the length of one call.
// E_INVALIDARG when the blob size is not the blob's length.
HRESULT ItemDefFromWire(const WireItemDef& w, std::u16string& accessPath, std::u16string& itemId, OPCITEMDEF& out);

// Task-allocator forms for a client: every pointer inside comes from
// CoTaskMemAlloc (BSTR and arrays of VARIANTs as VariantClear frees them).
// On failure nothing stays allocated and the struct is zeroed.
HRESULT ItemResultFromWire(const WireItemResult& w, OPCITEMRESULT& out);
HRESULT ItemStateFromWire(const WireItemState& w, OPCITEMSTATE& out);
HRESULT ServerStatusFromWire(const WireServerStatus& w, OPCSERVERSTATUS& out);
HRESULT ItemAttributesFromWire(const WireItemAttributes& w, OPCITEMATTRIBUTES& out);
// Frees what the *FromWire functions above put into a struct.
void FreeItemResult(OPCITEMRESULT& r);
void FreeItemState(OPCITEMSTATE& s);
void FreeItemAttributes(OPCITEMATTRIBUTES& a);

// A list decoded from a message argument whose signature was already
// checked against the interface description.
template <typename T> QList<T> ListArg(const QVariant& v)
{
    if (v.userType() == qMetaTypeId<QDBusArgument>())
        return qdbus_cast<QList<T>>(v.value<QDBusArgument>());
    return v.value<QList<T>>();
}
template <typename T> T StructArg(const QVariant& v)
{
    if (v.userType() == qMetaTypeId<QDBusArgument>())
        return qdbus_cast<T>(v.value<QDBusArgument>());
    return v.value<T>();
}

} // namespace opcdbus

Q_DECLARE_METATYPE(opcdbus::WireVariant)
Q_DECLARE_METATYPE(opcdbus::WireItemDef)
Q_DECLARE_METATYPE(opcdbus::WireItemResult)
Q_DECLARE_METATYPE(opcdbus::WireItemState)
Q_DECLARE_METATYPE(opcdbus::WireServerStatus)
Q_DECLARE_METATYPE(opcdbus::WireItemAttributes)
