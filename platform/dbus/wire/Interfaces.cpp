#include "Interfaces.h"

#include "OPCDA.h"
#include "Wire.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>

#include <QXmlStreamReader>

#include <map>

namespace opcdbus {

namespace {

// COM identifiers of the interfaces that have a D-Bus form.
const std::map<QString, IID>& IidTable()
{
    static const std::map<QString, IID> table = {
        {QStringLiteral("opc.IUnknown"), IID_IUnknown},
        {QStringLiteral("opc.IClassFactory"), IID_IClassFactory},
        {QStringLiteral("opc.IOPCServer"), IID_IOPCServer},
        {QStringLiteral("opc.IOPCCommon"), IID_IOPCCommon},
        {QStringLiteral("opc.IOPCShutdown"), IID_IOPCShutdown},
        {QStringLiteral("opc.IOPCBrowseServerAddressSpace"), IID_IOPCBrowseServerAddressSpace},
        {QStringLiteral("opc.IOPCItemProperties"), IID_IOPCItemProperties},
        {QStringLiteral("opc.IOPCGroupStateMgt"), IID_IOPCGroupStateMgt},
        {QStringLiteral("opc.IEnumOPCItemAttributes"), IID_IEnumOPCItemAttributes},
        {QStringLiteral("opc.IOPCItemMgt"), IID_IOPCItemMgt},
        {QStringLiteral("opc.IOPCSyncIO"), IID_IOPCSyncIO},
        {QStringLiteral("opc.IOPCAsyncIO2"), IID_IOPCAsyncIO2},
        {QStringLiteral("opc.IOPCDataCallback"), IID_IOPCDataCallback},
        {QStringLiteral("opc.IOPCGroup"), IID_IOPCGroup},
        {QStringLiteral("opc.IEnumString"), IID_IEnumString},
        {QStringLiteral("opc.IEnumUnknown"), IID_IEnumUnknown},
        {QStringLiteral("opc.IEnumConnectionPoints"), IID_IEnumConnectionPoints},
        {QStringLiteral("opc.IConnectionPointContainer"), IID_IConnectionPointContainer},
        {QStringLiteral("opc.IConnectionPoint"), IID_IConnectionPoint},
    };
    return table;
}

} // namespace

const MethodInfo* InterfaceInfo::Method(const QString& member) const
{
    for (const auto& m : methods)
        if (m.name == member)
            return &m;
    return nullptr;
}

bool ParseInterfaceXml(const QString& xml, std::vector<InterfaceInfo>& out, QString* error)
{
    QXmlStreamReader r(xml);
    InterfaceInfo* current = nullptr;
    MethodInfo* method = nullptr;
    qint64 interfaceStart = -1;
    while (!r.atEnd()) {
        const auto token = r.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const auto name = r.name();
            if (name == QLatin1String("interface")) {
                out.emplace_back();
                current = &out.back();
                current->name = r.attributes().value(QLatin1String("name")).toString();
                // The element's text starts at the '<' before the name.
                interfaceStart = xml.lastIndexOf(QLatin1Char('<'), r.characterOffset() - 1);
            } else if (name == QLatin1String("method") && current) {
                current->methods.push_back({r.attributes().value(QLatin1String("name")).toString(), {}, {}});
                method = &current->methods.back();
            } else if (name == QLatin1String("arg") && method) {
                const auto type = r.attributes().value(QLatin1String("type")).toString();
                if (r.attributes().value(QLatin1String("direction")) == QLatin1String("out"))
                    method->outSignature += type;
                else
                    method->inSignature += type;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (r.name() == QLatin1String("method")) {
                method = nullptr;
            } else if (r.name() == QLatin1String("interface") && current) {
                current->xml = xml.mid(interfaceStart, r.characterOffset() - interfaceStart);
                current = nullptr;
            }
        }
    }
    if (r.hasError()) {
        if (error)
            *error = r.errorString();
        return false;
    }
    return true;
}

const std::vector<InterfaceInfo>& AllInterfaces()
{
    static const std::vector<InterfaceInfo> all = [] {
        std::vector<InterfaceInfo> list;
        for (const auto& file : EmbeddedInterfaceXml()) {
            QString error;
            if (!ParseInterfaceXml(QString::fromUtf8(file.text), list, &error))
                qWarning("D-Bus interface description %s: %s", file.file, qPrintable(error));
        }
        for (auto& i : list) {
            auto it = IidTable().find(i.name);
            if (it != IidTable().end())
                i.iid = it->second;
        }
        return list;
    }();
    return all;
}

const InterfaceInfo* FindInterface(const QString& name)
{
    for (const auto& i : AllInterfaces())
        if (i.name == name)
            return &i;
    return nullptr;
}

const InterfaceInfo* FindInterface(REFIID iid)
{
    for (const auto& i : AllInterfaces())
        if (i.iid == iid && IidTable().count(i.name))
            return &i;
    return nullptr;
}

QStringList SplitSignature(const QString& signature)
{
    QStringList out;
    qsizetype i = 0;
    while (i < signature.size()) {
        const qsizetype start = i;
        // Array prefixes belong to the type that follows them.
        while (i < signature.size() && signature[i] == QLatin1Char('a'))
            ++i;
        if (i < signature.size() && (signature[i] == QLatin1Char('(') || signature[i] == QLatin1Char('{'))) {
            int depth = 0;
            do {
                const QChar c = signature[i];
                if (c == QLatin1Char('(') || c == QLatin1Char('{'))
                    ++depth;
                else if (c == QLatin1Char(')') || c == QLatin1Char('}'))
                    --depth;
                ++i;
            } while (i < signature.size() && depth > 0);
        } else {
            ++i;
        }
        out.push_back(signature.mid(start, i - start));
    }
    return out;
}

QVariant ZeroValueOf(const QString& type)
{
    RegisterWireTypes();
    static const std::map<QString, QVariant> zeros = {
        {QStringLiteral("i"), QVariant::fromValue<int>(0)},
        {QStringLiteral("u"), QVariant::fromValue<uint>(0)},
        {QStringLiteral("q"), QVariant::fromValue<ushort>(0)},
        {QStringLiteral("d"), QVariant::fromValue<double>(0)},
        {QStringLiteral("s"), QVariant::fromValue(QString())},
        {QStringLiteral("o"), QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))},
        {QStringLiteral("ai"), QVariant::fromValue(QList<int>())},
        {QStringLiteral("au"), QVariant::fromValue(QList<uint>())},
        {QStringLiteral("aq"), QVariant::fromValue(QList<ushort>())},
        {QStringLiteral("at"), QVariant::fromValue(QList<qulonglong>())},
        {QStringLiteral("as"), QVariant::fromValue(QStringList())},
        {QStringLiteral("ao"), QVariant::fromValue(QList<QDBusObjectPath>())},
        {QStringLiteral("a(qv)"), QVariant::fromValue(QList<WireVariant>())},
        {QStringLiteral("a(uqquuay)"), QVariant::fromValue(QList<WireItemResult>())},
        {QStringLiteral("a(utqq(qv))"), QVariant::fromValue(QList<WireItemState>())},
        {QStringLiteral("a(ssiuuuuayqqu(qv))"), QVariant::fromValue(QList<WireItemAttributes>())},
        {QStringLiteral("(tttuuuqqqqs)"), QVariant::fromValue(WireServerStatus())},
    };
    auto it = zeros.find(type);
    return it == zeros.end() ? QVariant() : it->second;
}

QVariantList ZeroOuts(const QString& outSignature, int hr)
{
    QVariantList outs;
    const QStringList types = SplitSignature(outSignature);
    for (qsizetype i = 0; i < types.size(); ++i)
        outs.push_back(i == 0 ? QVariant::fromValue<int>(hr) : ZeroValueOf(types[i]));
    return outs;
}

QString SignatureOfArgs(const QVariantList& args)
{
    QString sig;
    for (const auto& a : args) {
        if (a.userType() == qMetaTypeId<QDBusArgument>()) {
            sig += a.value<QDBusArgument>().currentSignature();
        } else {
            const char* s = QDBusMetaType::typeToSignature(a.metaType());
            sig += s ? QString::fromLatin1(s) : QStringLiteral("?");
        }
    }
    return sig;
}

} // namespace opcdbus
