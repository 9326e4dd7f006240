// Decoding of what a D-Bus peer sends as VARIANT and array arguments: any
// type code with any inner value, arrays of every element type, item
// definitions whose blob size lies, and DECIMAL text. Nothing may crash,
// leak, or be accepted with a value its type cannot hold.
#include "SafeArray.h"
#include "TaskMem.h"
#include "Wire.h"

#include <QDBusSignature>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

struct Reader {
    const uint8_t* p;
    size_t n;
    template <typename T> T take()
    {
        // A bool holds 0 or 1 only; D-Bus sends booleans as 32-bit words.
        if constexpr (std::is_same_v<T, bool>)
            return take<uint8_t>() != 0;
        T v{};
        const size_t k = n < sizeof(T) ? n : sizeof(T);
        std::memcpy(&v, p, k);
        p += k;
        n -= k;
        return v;
    }
    QString text()
    {
        const size_t len = take<uint8_t>() % 40;
        const size_t k = len < n ? len : n;
        QString s = QString::fromLatin1(reinterpret_cast<const char*>(p), static_cast<qsizetype>(k));
        p += k;
        n -= k;
        return s;
    }
};

template <typename T> QVariant ListOf(Reader& r)
{
    QList<T> l;
    const int count = r.take<uint8_t>() % 16;
    for (int i = 0; i < count; ++i)
        l.push_back(r.take<T>());
    return QVariant::fromValue(l);
}

// An inner value of any shape the demarshaller can produce.
QVariant Inner(Reader& r)
{
    switch (r.take<uint8_t>() % 22) {
    case 0: return QVariant::fromValue(r.take<short>());
    case 1: return QVariant::fromValue(r.take<ushort>());
    case 2: return QVariant::fromValue(r.take<int>());
    case 3: return QVariant::fromValue(r.take<uint>());
    case 4: return QVariant::fromValue(r.take<qlonglong>());
    case 5: return QVariant::fromValue(r.take<qulonglong>());
    case 6: return QVariant::fromValue(r.take<double>());
    case 7: return QVariant::fromValue(r.take<uint8_t>() != 0);
    case 8: return QVariant::fromValue(r.take<uchar>());
    case 9: return r.text();
    case 10: return QVariant(r.text().toLatin1());
    case 11: { QStringList l; const int c = r.take<uint8_t>() % 8; for (int i = 0; i < c; ++i) l << r.text(); return l; }
    case 12: return ListOf<short>(r);
    case 13: return ListOf<ushort>(r);
    case 14: return ListOf<int>(r);
    case 15: return ListOf<uint>(r);
    case 16: return ListOf<qlonglong>(r);
    case 17: return ListOf<qulonglong>(r);
    case 18: return ListOf<double>(r);
    case 19: return ListOf<bool>(r);
    case 20: return QVariant::fromValue(QDBusSignature(QStringLiteral("(ii)")));
    default: return {};
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    opcdbus::RegisterWireTypes();
    const long blocks = CoTaskMemLiveBlocks();
    const size_t bstrs = LiveBstrCount();
    const size_t arrays = LiveSafeArrayCount();
    Reader r{data, size};
    while (r.n > 0) {
        switch (r.take<uint8_t>() % 3) {
        case 0: {
            opcdbus::WireVariant w;
            w.vt = r.take<uint16_t>();
            w.value = Inner(r);
            VARIANT v;
            VariantInit(&v);
            const HRESULT hr = opcdbus::VariantFromWire(w, &v);
            if (SUCCEEDED(hr)) {
                // What was accepted must travel back unchanged in type.
                opcdbus::WireVariant back;
                if (FAILED(opcdbus::VariantToWire(v, back)) || back.vt != w.vt)
                    std::abort();
            } else if (v.vt != VT_EMPTY) {
                std::abort();
            }
            VariantClear(&v);
            break;
        }
        case 1: {
            opcdbus::WireItemDef d;
            d.itemId = r.text();
            d.blob = r.text().toLatin1();
            d.blobSize = r.take<uint32_t>();
            std::u16string a, b;
            OPCITEMDEF def;
            const HRESULT hr = opcdbus::ItemDefFromWire(d, a, b, def);
            if (SUCCEEDED(hr) && def.dwBlobSize != static_cast<DWORD>(d.blob.size()))
                std::abort();
            break;
        }
        default: {
            // Text accepted as a DECIMAL prints as text that reads back the same.
            if (const auto d = opcdbus::DecimalFromText(r.text())) {
                const auto again = opcdbus::DecimalFromText(opcdbus::DecimalToText(*d));
                if (!again || std::memcmp(&*again, &*d, sizeof(DECIMAL)) != 0)
                    std::abort();
            }
            break;
        }
        }
    }
    if (CoTaskMemLiveBlocks() != blocks || LiveBstrCount() != bstrs || LiveSafeArrayCount() != arrays)
        std::abort();
    return 0;
}
