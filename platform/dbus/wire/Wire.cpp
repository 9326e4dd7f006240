#include "Wire.h"

#include "Guid.h"
#include "SafeArray.h"
#include "TaskMem.h"

#include <QDBusMetaType>
#include <QDBusSignature>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace opcdbus {

// ------------------------------------------------------------ (de)marshalling

namespace {

// A value inside a (qv) as a normalised QVariant (see WireVariant).
QVariant NormaliseInner(const QVariant& v)
{
    if (v.userType() != qMetaTypeId<QDBusArgument>())
        return SignatureOf(v).isEmpty() ? QVariant::fromValue(QDBusSignature(QStringLiteral("?"))) : v;
    const QDBusArgument arg = v.value<QDBusArgument>();
    const QString sig = arg.currentSignature();
    if (sig == QLatin1String("an"))
        return QVariant::fromValue(qdbus_cast<QList<short>>(arg));
    if (sig == QLatin1String("aq"))
        return QVariant::fromValue(qdbus_cast<QList<ushort>>(arg));
    if (sig == QLatin1String("ai"))
        return QVariant::fromValue(qdbus_cast<QList<int>>(arg));
    if (sig == QLatin1String("au"))
        return QVariant::fromValue(qdbus_cast<QList<uint>>(arg));
    if (sig == QLatin1String("ax"))
        return QVariant::fromValue(qdbus_cast<QList<qlonglong>>(arg));
    if (sig == QLatin1String("at"))
        return QVariant::fromValue(qdbus_cast<QList<qulonglong>>(arg));
    if (sig == QLatin1String("ad"))
        return QVariant::fromValue(qdbus_cast<QList<double>>(arg));
    if (sig == QLatin1String("ab"))
        return QVariant::fromValue(qdbus_cast<QList<bool>>(arg));
    return QVariant::fromValue(QDBusSignature(sig.isEmpty() ? QStringLiteral("?") : sig));
}

} // namespace

QDBusArgument& operator<<(QDBusArgument& a, const WireVariant& v)
{
    a.beginStructure();
    a << v.vt << QDBusVariant(v.value);
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, WireVariant& v)
{
    QDBusVariant inner;
    a.beginStructure();
    a >> v.vt >> inner;
    a.endStructure();
    v.value = NormaliseInner(inner.variant());
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const WireItemDef& v)
{
    a.beginStructure();
    a << v.accessPath << v.itemId << v.active << v.hClient << v.blobSize << v.blob << v.vtRequested << v.reserved;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, WireItemDef& v)
{
    a.beginStructure();
    a >> v.accessPath >> v.itemId >> v.active >> v.hClient >> v.blobSize >> v.blob >> v.vtRequested >> v.reserved;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const WireItemResult& v)
{
    a.beginStructure();
    a << v.hServer << v.vtCanonical << v.reserved << v.accessRights << v.blobSize << v.blob;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, WireItemResult& v)
{
    a.beginStructure();
    a >> v.hServer >> v.vtCanonical >> v.reserved >> v.accessRights >> v.blobSize >> v.blob;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const WireItemState& v)
{
    a.beginStructure();
    a << v.hClient << v.timeStamp << v.quality << v.reserved << v.value;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, WireItemState& v)
{
    a.beginStructure();
    a >> v.hClient >> v.timeStamp >> v.quality >> v.reserved >> v.value;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const WireServerStatus& v)
{
    a.beginStructure();
    a << v.startTime << v.currentTime << v.lastUpdateTime << v.serverState << v.groupCount << v.bandWidth
      << v.majorVersion << v.minorVersion << v.buildNumber << v.reserved << v.vendorInfo;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, WireServerStatus& v)
{
    a.beginStructure();
    a >> v.startTime >> v.currentTime >> v.lastUpdateTime >> v.serverState >> v.groupCount >> v.bandWidth >>
        v.majorVersion >> v.minorVersion >> v.buildNumber >> v.reserved >> v.vendorInfo;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const WireItemAttributes& v)
{
    a.beginStructure();
    a << v.accessPath << v.itemId << v.active << v.hClient << v.hServer << v.accessRights << v.blobSize << v.blob
      << v.vtRequested << v.vtCanonical << v.euType << v.euInfo;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, WireItemAttributes& v)
{
    a.beginStructure();
    a >> v.accessPath >> v.itemId >> v.active >> v.hClient >> v.hServer >> v.accessRights >> v.blobSize >> v.blob >>
        v.vtRequested >> v.vtCanonical >> v.euType >> v.euInfo;
    a.endStructure();
    return a;
}

void RegisterWireTypes()
{
    static const bool done = [] {
        qDBusRegisterMetaType<WireVariant>();
        qDBusRegisterMetaType<WireItemDef>();
        qDBusRegisterMetaType<WireItemResult>();
        qDBusRegisterMetaType<WireItemState>();
        qDBusRegisterMetaType<WireServerStatus>();
        qDBusRegisterMetaType<WireItemAttributes>();
        qDBusRegisterMetaType<QList<WireVariant>>();
        qDBusRegisterMetaType<QList<WireItemDef>>();
        qDBusRegisterMetaType<QList<WireItemResult>>();
        qDBusRegisterMetaType<QList<WireItemState>>();
        qDBusRegisterMetaType<QList<WireItemAttributes>>();
        return true;
    }();
    (void)done;
}

QString SignatureOf(const QVariant& value)
{
    if (!value.isValid())
        return {};
    if (value.userType() == qMetaTypeId<QDBusSignature>())
        return {};
    const char* sig = QDBusMetaType::typeToSignature(value.metaType());
    return sig ? QString::fromLatin1(sig) : QString();
}

// ------------------------------------------------------------------ VARIANT

namespace {

// The signature of a scalar element type, or null.
const char* ScalarSignature(VARTYPE t)
{
    switch (t) {
    case VT_I1: case VT_I2: return "n";
    case VT_I4: case VT_INT: case VT_ERROR: return "i";
    case VT_UI1: return "y";
    case VT_UI2: return "q";
    case VT_UI4: case VT_UINT: return "u";
    case VT_I8: return "x";
    case VT_UI8: return "t";
    case VT_R4: case VT_R8: case VT_DATE: return "d";
    case VT_CY: return "x";
    case VT_BSTR: case VT_DECIMAL: return "s";
    case VT_BOOL: return "b";
    default: return nullptr;
    }
}

QString BstrText(BSTR b) { return b ? QString::fromUtf16(b, SysStringLen(b)) : QString(QLatin1String("")); }

BSTR BstrOf(const QString& s)
{
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.utf16()), static_cast<UINT>(s.size()));
}

// One scalar of type t at p (the union member of a VARIANT, or an element of a
// SAFEARRAY) as a normalised value.
QVariant ScalarToValue(VARTYPE t, const void* p)
{
    switch (t) {
    case VT_I1: return QVariant::fromValue<short>(*static_cast<const CHAR*>(p));
    case VT_I2: return QVariant::fromValue<short>(*static_cast<const SHORT*>(p));
    case VT_I4: case VT_INT: case VT_ERROR: return QVariant::fromValue<int>(*static_cast<const LONG*>(p));
    case VT_UI1: return QVariant::fromValue<uchar>(*static_cast<const BYTE*>(p));
    case VT_UI2: return QVariant::fromValue<ushort>(*static_cast<const USHORT*>(p));
    case VT_UI4: case VT_UINT: return QVariant::fromValue<uint>(*static_cast<const ULONG*>(p));
    case VT_I8: return QVariant::fromValue<qlonglong>(*static_cast<const LONGLONG*>(p));
    case VT_UI8: return QVariant::fromValue<qulonglong>(*static_cast<const ULONGLONG*>(p));
    case VT_R4: return QVariant::fromValue<double>(*static_cast<const FLOAT*>(p));
    case VT_R8: case VT_DATE: return QVariant::fromValue<double>(*static_cast<const DOUBLE*>(p));
    case VT_CY: return QVariant::fromValue<qlonglong>(static_cast<const CY*>(p)->int64);
    case VT_BSTR: return BstrText(*static_cast<const BSTR*>(p));
    case VT_BOOL: return QVariant::fromValue<bool>(*static_cast<const VARIANT_BOOL*>(p) != 0);
    case VT_DECIMAL: return DecimalToText(*static_cast<const DECIMAL*>(p));
    default: return {};
    }
}

// Stores value (already known to have t's signature) at p; false when it is
// out of t's range or cannot be allocated. A BSTR stored is owned by *p.
bool ValueToScalar(VARTYPE t, const QVariant& value, void* p)
{
    switch (t) {
    case VT_I1: {
        const short s = value.value<short>();
        if (s < -128 || s > 127)
            return false;
        *static_cast<CHAR*>(p) = static_cast<CHAR>(s);
        return true;
    }
    case VT_I2: *static_cast<SHORT*>(p) = value.value<short>(); return true;
    case VT_I4: case VT_INT: case VT_ERROR: *static_cast<LONG*>(p) = value.value<int>(); return true;
    case VT_UI1: *static_cast<BYTE*>(p) = value.value<uchar>(); return true;
    case VT_UI2: *static_cast<USHORT*>(p) = value.value<ushort>(); return true;
    case VT_UI4: case VT_UINT: *static_cast<ULONG*>(p) = value.value<uint>(); return true;
    case VT_I8: *static_cast<LONGLONG*>(p) = value.value<qlonglong>(); return true;
    case VT_UI8: *static_cast<ULONGLONG*>(p) = value.value<qulonglong>(); return true;
    case VT_R4: {
        const double d = value.value<double>();
        if (std::isfinite(d) && std::fabs(d) > FLT_MAX)
            return false;
        *static_cast<FLOAT*>(p) = static_cast<FLOAT>(d);
        return true;
    }
    case VT_R8: case VT_DATE: *static_cast<DOUBLE*>(p) = value.value<double>(); return true;
    case VT_CY: static_cast<CY*>(p)->int64 = value.value<qlonglong>(); return true;
    case VT_BOOL: *static_cast<VARIANT_BOOL*>(p) = value.value<bool>() ? VARIANT_TRUE : VARIANT_FALSE; return true;
    case VT_BSTR: {
        BSTR b = BstrOf(value.toString());
        if (!b)
            return false;
        *static_cast<BSTR*>(p) = b;
        return true;
    }
    case VT_DECIMAL: {
        const auto d = DecimalFromText(value.toString());
        if (!d)
            return false;
        std::memcpy(p, &*d, sizeof(DECIMAL));
        return true;
    }
    default: return false;
    }
}

// Elements of a normalised array value, one QVariant each.
QVariantList Elements(const QVariant& list)
{
    QVariantList out;
    const int type = list.userType();
    auto take = [&out](const auto& l) {
        out.reserve(l.size());
        for (const auto& e : l)
            out.push_back(QVariant::fromValue(e));
    };
    if (type == QMetaType::QByteArray) {
        const QByteArray b = list.toByteArray();
        out.reserve(b.size());
        for (char c : b)
            out.push_back(QVariant::fromValue<uchar>(static_cast<uchar>(c)));
    } else if (type == QMetaType::QStringList) {
        take(list.toStringList());
    } else if (type == qMetaTypeId<QList<short>>()) {
        take(list.value<QList<short>>());
    } else if (type == qMetaTypeId<QList<ushort>>()) {
        take(list.value<QList<ushort>>());
    } else if (type == qMetaTypeId<QList<int>>()) {
        take(list.value<QList<int>>());
    } else if (type == qMetaTypeId<QList<uint>>()) {
        take(list.value<QList<uint>>());
    } else if (type == qMetaTypeId<QList<qlonglong>>()) {
        take(list.value<QList<qlonglong>>());
    } else if (type == qMetaTypeId<QList<qulonglong>>()) {
        take(list.value<QList<qulonglong>>());
    } else if (type == qMetaTypeId<QList<double>>()) {
        take(list.value<QList<double>>());
    } else if (type == qMetaTypeId<QList<bool>>()) {
        take(list.value<QList<bool>>());
    }
    return out;
}

// Builds the array value of element type t from the elements' values.
QVariant ArrayValue(VARTYPE t, const QVariantList& elements)
{
    auto make = [&elements](auto tag) {
        using T = decltype(tag);
        QList<T> l;
        l.reserve(elements.size());
        for (const auto& e : elements)
            l.push_back(e.value<T>());
        return QVariant::fromValue(l);
    };
    switch (t) {
    case VT_UI1: {
        QByteArray b;
        b.reserve(elements.size());
        for (const auto& e : elements)
            b.push_back(static_cast<char>(e.value<uchar>()));
        return b;
    }
    case VT_BSTR: case VT_DECIMAL: {
        QStringList l;
        for (const auto& e : elements)
            l.push_back(e.toString());
        return l;
    }
    case VT_I1: case VT_I2: return make(short{});
    case VT_UI2: return make(ushort{});
    case VT_I4: case VT_INT: case VT_ERROR: return make(int{});
    case VT_UI4: case VT_UINT: return make(uint{});
    case VT_I8: case VT_CY: return make(qlonglong{});
    case VT_UI8: return make(qulonglong{});
    case VT_R4: case VT_R8: case VT_DATE: return make(double{});
    case VT_BOOL: return make(bool{});
    default: return {};
    }
}

std::size_t ElementSize(VARTYPE t)
{
    switch (t) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_INT: case VT_ERROR: case VT_UI4: case VT_UINT: case VT_R4: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_DECIMAL: return sizeof(DECIMAL);
    default: return 0;
    }
}

} // namespace

std::optional<QString> WireSignatureOf(VARTYPE vt)
{
    if (vt == VT_EMPTY || vt == VT_NULL)
        return QStringLiteral("s");
    if (vt & VT_ARRAY) {
        const char* s = ScalarSignature(static_cast<VARTYPE>(vt & ~VT_ARRAY));
        return s ? std::optional<QString>(QLatin1String("a") + QLatin1String(s)) : std::nullopt;
    }
    const char* s = ScalarSignature(vt);
    return s ? std::optional<QString>(QLatin1String(s)) : std::nullopt;
}

HRESULT VariantToWire(const VARIANT& v, WireVariant& out)
{
    out.vt = VT_EMPTY;
    out.value = QString(QLatin1String(""));
    if (v.vt == VT_EMPTY || v.vt == VT_NULL) {
        out.vt = v.vt;
        return S_OK;
    }
    if (!WireSignatureOf(v.vt))
        return DISP_E_BADVARTYPE;
    if (!(v.vt & VT_ARRAY)) {
        const void* p = v.vt == VT_DECIMAL ? static_cast<const void*>(&DecimalOf(v)) : static_cast<const void*>(&v.llVal);
        out.value = ScalarToValue(v.vt, p);
        out.vt = v.vt;
        return S_OK;
    }
    const VARTYPE t = static_cast<VARTYPE>(v.vt & ~VT_ARRAY);
    SAFEARRAY* sa = v.parray;
    VARTYPE stored = VT_EMPTY;
    if (!sa || SafeArrayGetDim(sa) != 1 || FAILED(SafeArrayGetVartype(sa, &stored)) || stored != t ||
        SafeArrayGetElemsize(sa) != ElementSize(t))
        return DISP_E_BADVARTYPE;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(sa, &data)))
        return DISP_E_BADVARTYPE;
    const std::size_t n = sa->rgsabound[0].cElements;
    const std::size_t size = ElementSize(t);
    QVariantList elements;
    elements.reserve(static_cast<qsizetype>(n));
    for (std::size_t i = 0; i < n; ++i)
        elements.push_back(ScalarToValue(t, static_cast<const char*>(data) + i * size));
    SafeArrayUnaccessData(sa);
    out.value = ArrayValue(t, elements);
    out.vt = v.vt;
    return S_OK;
}

HRESULT VariantFromWire(const WireVariant& w, VARIANT* out)
{
    VariantInit(out);
    const auto expected = WireSignatureOf(w.vt);
    if (!expected || SignatureOf(w.value) != *expected)
        return E_INVALIDARG;
    if (w.vt == VT_EMPTY || w.vt == VT_NULL) {
        out->vt = w.vt;
        return S_OK;
    }
    if (!(w.vt & VT_ARRAY)) {
        VARIANT tmp;
        VariantInit(&tmp);
        void* p = w.vt == VT_DECIMAL ? static_cast<void*>(&DecimalOf(tmp)) : static_cast<void*>(&tmp.llVal);
        if (!ValueToScalar(w.vt, w.value, p))
            return E_INVALIDARG;
        tmp.vt = w.vt; // after the DECIMAL copy, which overlays vt
        *out = tmp;
        return S_OK;
    }
    const VARTYPE t = static_cast<VARTYPE>(w.vt & ~VT_ARRAY);
    const QVariantList elements = Elements(w.value);
    SAFEARRAY* sa = SafeArrayCreateVector(t, 0, static_cast<ULONG>(elements.size()));
    if (!sa)
        return E_OUTOFMEMORY;
    void* data = nullptr;
    SafeArrayAccessData(sa, &data);
    const std::size_t size = ElementSize(t);
    bool ok = true;
    for (qsizetype i = 0; ok && i < elements.size(); ++i)
        ok = ValueToScalar(t, elements[i], static_cast<char*>(data) + static_cast<std::size_t>(i) * size);
    SafeArrayUnaccessData(sa);
    if (!ok) {
        SafeArrayDestroy(sa); // frees the strings stored so far
        return E_INVALIDARG;
    }
    out->vt = w.vt;
    out->parray = sa;
    return S_OK;
}

// ------------------------------------------------------------------ DECIMAL

QString DecimalToText(const DECIMAL& d)
{
    unsigned __int128 m = (static_cast<unsigned __int128>(d.Hi32) << 64) | d.Lo64;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m != 0);
    const std::size_t scale = d.scale;
    if (digits.size() <= scale)
        digits.insert(digits.begin(), scale - digits.size() + 1, '0');
    if (scale > 0)
        digits.insert(digits.end() - static_cast<std::ptrdiff_t>(scale), '.');
    if (d.sign & DECIMAL_NEG)
        digits.insert(digits.begin(), '-');
    return QString::fromLatin1(digits.c_str());
}

std::optional<DECIMAL> DecimalFromText(const QString& text)
{
    const QByteArray s = text.toLatin1();
    if (text.size() != s.size() || s.isEmpty())
        return std::nullopt;
    qsizetype i = 0;
    bool negative = false;
    if (s[0] == '-') {
        negative = true;
        ++i;
    }
    unsigned __int128 m = 0;
    const unsigned __int128 limit = static_cast<unsigned __int128>(1) << 96;
    int scale = 0;
    bool point = false;
    int digits = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9')
            return std::nullopt;
        m = m * 10 + static_cast<unsigned>(c - '0');
        if (m >= limit)
            return std::nullopt;
        ++digits;
        if (point && ++scale > 28)
            return std::nullopt;
    }
    if (digits == 0)
        return std::nullopt;
    DECIMAL d{};
    d.scale = static_cast<BYTE>(scale);
    d.sign = negative ? DECIMAL_NEG : 0;
    d.Hi32 = static_cast<ULONG>(m >> 64);
    d.Lo64 = static_cast<ULONGLONG>(m);
    return d;
}

// ------------------------------------------------------------------ strings

QString FromWide(LPCWSTR text)
{
    return text ? QString::fromUtf16(text) : QString(QLatin1String(""));
}

std::u16string WideOf(const QString& text)
{
    return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size()));
}

LPWSTR TaskWide(const QString& text)
{
    const std::size_t n = static_cast<std::size_t>(text.size());
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((n + 1) * sizeof(OLECHAR)));
    if (!p)
        return nullptr;
    std::memcpy(p, text.utf16(), n * sizeof(OLECHAR));
    p[n] = 0;
    return p;
}

QString GuidText(REFGUID g) { return QString::fromStdString(GuidToString(g)); }

std::optional<GUID> GuidFromText(const QString& text) { return GuidFromString(text.toStdString()); }

QString WellKnownName(REFCLSID clsid)
{
    QString s = GuidText(clsid);
    s.remove(QLatin1Char('{')).remove(QLatin1Char('}')).replace(QLatin1Char('-'), QLatin1Char('_'));
    return QStringLiteral("opc.clsid._") + s.toUpper();
}

// ------------------------------------------------------------------ structs

namespace {

QByteArray BlobOf(DWORD size, const BYTE* blob)
{
    return (blob && size) ? QByteArray(reinterpret_cast<const char*>(blob), static_cast<qsizetype>(size)) : QByteArray();
}

// A task-allocator copy of a blob; true on success (null for an empty one).
bool TaskBlob(const QByteArray& b, BYTE*& out)
{
    out = nullptr;
    if (b.isEmpty())
        return true;
    out = static_cast<BYTE*>(CoTaskMemAlloc(static_cast<std::size_t>(b.size())));
    if (!out)
        return false;
    std::memcpy(out, b.constData(), static_cast<std::size_t>(b.size()));
    return true;
}

} // namespace

WireItemDef ItemDefToWire(const OPCITEMDEF& d)
{
    WireItemDef w;
    w.accessPath = FromWide(d.szAccessPath);
    w.itemId = FromWide(d.szItemID);
    w.active = d.bActive;
    w.hClient = d.hClient;
    w.blob = BlobOf(d.dwBlobSize, d.pBlob);
    w.blobSize = static_cast<quint32>(w.blob.size());
    w.vtRequested = d.vtRequestedDataType;
    w.reserved = d.wReserved;
    return w;
}

WireItemResult ItemResultToWire(const OPCITEMRESULT& r)
{
    WireItemResult w;
    w.hServer = r.hServer;
    w.vtCanonical = r.vtCanonicalDataType;
    w.reserved = r.wReserved;
    w.accessRights = r.dwAccessRights;
    w.blob = BlobOf(r.dwBlobSize, r.pBlob);
    w.blobSize = static_cast<quint32>(w.blob.size());
    return w;
}

WireItemState ItemStateToWire(const OPCITEMSTATE& s, bool* valueOk)
{
    WireItemState w;
    w.hClient = s.hClient;
    w.timeStamp = FileTimeValue(s.ftTimeStamp);
    w.quality = s.wQuality;
    w.reserved = s.wReserved;
    const bool ok = SUCCEEDED(VariantToWire(s.vDataValue, w.value));
    if (valueOk)
        *valueOk = ok;
    return w;
}

WireServerStatus ServerStatusToWire(const OPCSERVERSTATUS& s)
{
    WireServerStatus w;
    w.startTime = FileTimeValue(s.ftStartTime);
    w.currentTime = FileTimeValue(s.ftCurrentTime);
    w.lastUpdateTime = FileTimeValue(s.ftLastUpdateTime);
    w.serverState = s.dwServerState;
    w.groupCount = s.dwGroupCount;
    w.bandWidth = s.dwBandWidth;
    w.majorVersion = s.wMajorVersion;
    w.minorVersion = s.wMinorVersion;
    w.buildNumber = s.wBuildNumber;
    w.reserved = s.wReserved;
    w.vendorInfo = FromWide(s.szVendorInfo);
    return w;
}

WireItemAttributes ItemAttributesToWire(const OPCITEMATTRIBUTES& a, bool* valueOk)
{
    WireItemAttributes w;
    w.accessPath = FromWide(a.szAccessPath);
    w.itemId = FromWide(a.szItemID);
    w.active = a.bActive;
    w.hClient = a.hClient;
    w.hServer = a.hServer;
    w.accessRights = a.dwAccessRights;
    w.blob = BlobOf(a.dwBlobSize, a.pBlob);
    w.blobSize = static_cast<quint32>(w.blob.size());
    w.vtRequested = a.vtRequestedDataType;
    w.vtCanonical = a.vtCanonicalDataType;
    w.euType = a.dwEUType;
    const bool ok = SUCCEEDED(VariantToWire(a.vEUInfo, w.euInfo));
    if (valueOk)
        *valueOk = ok;
    return w;
}

HRESULT ItemDefFromWire(const WireItemDef& w, std::u16string& accessPath, std::u16string& itemId, OPCITEMDEF& out)
{
    std::memset(&out, 0, sizeof out);
    if (w.blobSize != static_cast<quint32>(w.blob.size()))
        return E_INVALIDARG;
    accessPath = WideOf(w.accessPath);
    itemId = WideOf(w.itemId);
    out.szAccessPath = accessPath.data();
    out.szItemID = itemId.data();
    out.bActive = w.active;
    out.hClient = w.hClient;
    out.dwBlobSize = w.blobSize;
    out.pBlob = w.blob.isEmpty() ? nullptr : reinterpret_cast<BYTE*>(const_cast<char*>(w.blob.constData()));
    out.vtRequestedDataType = w.vtRequested;
    out.wReserved = w.reserved;
    return S_OK;
}

HRESULT ItemResultFromWire(const WireItemResult& w, OPCITEMRESULT& out)
{
    std::memset(&out, 0, sizeof out);
    if (w.blobSize != static_cast<quint32>(w.blob.size()))
        return E_INVALIDARG;
    BYTE* blob = nullptr;
    if (!TaskBlob(w.blob, blob))
        return E_OUTOFMEMORY;
    out.hServer = w.hServer;
    out.vtCanonicalDataType = w.vtCanonical;
    out.wReserved = w.reserved;
    out.dwAccessRights = w.accessRights;
    out.dwBlobSize = w.blobSize;
    out.pBlob = blob;
    return S_OK;
}

HRESULT ItemStateFromWire(const WireItemState& w, OPCITEMSTATE& out)
{
    std::memset(&out, 0, sizeof out);
    const HRESULT hr = VariantFromWire(w.value, &out.vDataValue);
    if (FAILED(hr))
        return hr;
    out.hClient = w.hClient;
    out.ftTimeStamp = FileTimeFrom(w.timeStamp);
    out.wQuality = w.quality;
    out.wReserved = w.reserved;
    return S_OK;
}

HRESULT ServerStatusFromWire(const WireServerStatus& w, OPCSERVERSTATUS& out)
{
    std::memset(&out, 0, sizeof out);
    LPWSTR vendor = TaskWide(w.vendorInfo);
    if (!vendor)
        return E_OUTOFMEMORY;
    out.ftStartTime = FileTimeFrom(w.startTime);
    out.ftCurrentTime = FileTimeFrom(w.currentTime);
    out.ftLastUpdateTime = FileTimeFrom(w.lastUpdateTime);
    out.dwServerState = static_cast<OPCSERVERSTATE>(w.serverState);
    out.dwGroupCount = w.groupCount;
    out.dwBandWidth = w.bandWidth;
    out.wMajorVersion = w.majorVersion;
    out.wMinorVersion = w.minorVersion;
    out.wBuildNumber = w.buildNumber;
    out.wReserved = w.reserved;
    out.szVendorInfo = vendor;
    return S_OK;
}

HRESULT ItemAttributesFromWire(const WireItemAttributes& w, OPCITEMATTRIBUTES& out)
{
    std::memset(&out, 0, sizeof out);
    if (w.blobSize != static_cast<quint32>(w.blob.size()))
        return E_INVALIDARG;
    VARIANT eu;
    HRESULT hr = VariantFromWire(w.euInfo, &eu);
    if (FAILED(hr))
        return hr;
    LPWSTR path = TaskWide(w.accessPath);
    LPWSTR id = TaskWide(w.itemId);
    BYTE* blob = nullptr;
    if (!path || !id || !TaskBlob(w.blob, blob)) {
        CoTaskMemFree(path);
        CoTaskMemFree(id);
        VariantClear(&eu);
        return E_OUTOFMEMORY;
    }
    out.szAccessPath = path;
    out.szItemID = id;
    out.bActive = w.active;
    out.hClient = w.hClient;
    out.hServer = w.hServer;
    out.dwAccessRights = w.accessRights;
    out.dwBlobSize = w.blobSize;
    out.pBlob = blob;
    out.vtRequestedDataType = w.vtRequested;
    out.vtCanonicalDataType = w.vtCanonical;
    out.dwEUType = static_cast<OPCEUTYPE>(w.euType);
    out.vEUInfo = eu;
    return S_OK;
}

void FreeItemResult(OPCITEMRESULT& r)
{
    CoTaskMemFree(r.pBlob);
    r.pBlob = nullptr;
}

void FreeItemState(OPCITEMSTATE& s) { VariantClear(&s.vDataValue); }

void FreeItemAttributes(OPCITEMATTRIBUTES& a)
{
    CoTaskMemFree(a.szAccessPath);
    CoTaskMemFree(a.szItemID);
    CoTaskMemFree(a.pBlob);
    VariantClear(&a.vEUInfo);
    a.szAccessPath = a.szItemID = nullptr;
    a.pBlob = nullptr;
}

} // namespace opcdbus
