#include "AddressSpace.h"

#include "PortHub.h"

#include <algorithm>
#include <set>

namespace ua {

namespace {

struct Ns0Node {
    std::uint32_t id;
    int nodeClass;
    const char* browseName;
    const char* displayName;
    const char* description;
    bool isAbstract;
    bool symmetric;
    const char* inverseName;
    std::uint32_t dataType;
    std::int32_t valueRank;
    std::uint32_t arrayDimension;
    std::uint8_t eventNotifier;
    std::uint8_t accessLevel;
    double minimumSamplingInterval;
};
struct Ns0Reference {
    std::uint32_t source, type, target;
};
struct Ns0EnumStrings {
    std::uint32_t id;
    std::vector<const char*> texts;
};

#include "Ns0Nodes.inc"

const Ns0Node kNs0Nodes[] = {LINVARO_UA_NS0_NODES};
const Ns0Reference kNs0References[] = {LINVARO_UA_NS0_REFERENCES};
const std::vector<Ns0EnumStrings> kNs0EnumStrings = {LINVARO_UA_NS0_ENUM_STRINGS};

constexpr std::uint32_t kString = 12, kUInt32 = 7, kUInt64 = 9, kDateTime = 13;

} // namespace

AddressSpace::AddressSpace(PortHub* hub, std::string namespaceUri, ServerValue serverValue)
    : hub_(hub), namespaceUri_(std::move(namespaceUri)), serverValue_(std::move(serverValue))
{
    addNs0();
    // The Ports folder and its NodeVersion stay; the ports under it follow
    // the settings.
    Node ports;
    ports.id = NodeId(1, "Ports");
    ports.browseName = {1, "Ports"};
    ports.displayName = {"", "Ports"};
    ports.description = {"", "One object per port link, with its tag and diagnostics"};
    ports.typeDefinition = id::FolderType;
    portsFolder_ = add(std::move(ports));
    link(IndexOf(NodeId::Numeric(id::ObjectsFolder)), id::Organizes, portsFolder_);
    link(portsFolder_, id::HasTypeDefinition, IndexOf(NodeId::Numeric(id::FolderType)));
    Node version;
    version.id = NodeId(1, "Ports/NodeVersion");
    version.nodeClass = NodeClass::Variable;
    version.browseName = {0, "NodeVersion"};
    version.displayName = {"", "NodeVersion"};
    version.description = {"", "Changes whenever a settings reload adds or removes ports"};
    version.dataType = kString;
    version.source = ValueSource::NodeVersion;
    version.typeDefinition = id::PropertyType;
    const int v = add(std::move(version));
    link(portsFolder_, id::HasProperty, v);
    link(v, id::HasTypeDefinition, IndexOf(NodeId::Numeric(id::PropertyType)));
    fixedCount_ = nodes_.size();
    portsFolderRefs_ = nodes_[static_cast<std::size_t>(portsFolder_)].refs.size();
    Rebuild();
}

void AddressSpace::addNs0()
{
    for (const Ns0Node& n : kNs0Nodes) {
        Node node;
        node.id = NodeId::Numeric(n.id);
        node.nodeClass = static_cast<NodeClass>(n.nodeClass);
        node.browseName = {0, n.browseName};
        node.displayName = {"", n.displayName};
        node.description = {"", n.description};
        node.isAbstract = n.isAbstract;
        node.symmetric = n.symmetric;
        node.inverseName = {"", n.inverseName};
        node.eventNotifier = n.eventNotifier;
        node.dataType = n.dataType;
        node.valueRank = n.valueRank;
        if (n.valueRank == 1)
            node.arrayDimensions = {n.arrayDimension};
        node.accessLevel = n.accessLevel;
        node.minimumSamplingInterval = n.minimumSamplingInterval;
        if (node.nodeClass == NodeClass::Variable) {
            // The server's own variables are read-only here.
            node.source = ValueSource::Server;
            node.accessLevel = kAccessRead;
        }
        add(std::move(node));
    }
    for (const Ns0EnumStrings& e : kNs0EnumStrings) {
        Node& node = nodes_[static_cast<std::size_t>(IndexOf(NodeId::Numeric(e.id)))];
        std::vector<Scalar> texts;
        for (const char* t : e.texts)
            texts.emplace_back(LocalizedText{"", t});
        node.value = Variant::Array(BuiltIn::LocalizedText, std::move(texts));
        node.source = ValueSource::Static;
    }
    for (const Ns0Reference& r : kNs0References) {
        link(IndexOf(NodeId::Numeric(r.source)), r.type, IndexOf(NodeId::Numeric(r.target)));
        if (r.type == id::HasSubtype)
            supertype_[r.target] = r.source;
        if (r.type == id::HasTypeDefinition)
            nodes_[static_cast<std::size_t>(IndexOf(NodeId::Numeric(r.source)))].typeDefinition = r.target;
    }
}

int AddressSpace::add(Node node)
{
    const int i = static_cast<int>(nodes_.size());
    if (!index_.emplace(node.id, i).second)
        return -1; // the id is taken
    nodes_.push_back(std::move(node));
    return i;
}

void AddressSpace::link(int source, std::uint32_t type, int target)
{
    if (source < 0 || target < 0)
        return;
    Node& from = nodes_[static_cast<std::size_t>(source)];
    Node& to = nodes_[static_cast<std::size_t>(target)];
    from.refs.push_back({type, true, target});
    // Namespace 0 keeps only what its own table says: instances of the
    // ports are not listed under their types, so rebuilds leave it as is.
    if (!(to.id.ns == 0 && from.id.ns != 0))
        to.refs.push_back({type, false, source});
}

int AddressSpace::addVariable(int parent, NodeId id, const std::string& name, std::uint32_t dataType,
                              ValueSource source, int arg, std::uint8_t access, const std::string& description)
{
    Node v;
    v.id = std::move(id);
    v.nodeClass = NodeClass::Variable;
    v.browseName = {1, name};
    v.displayName = {"", name};
    v.description = {"", description};
    v.dataType = dataType;
    v.accessLevel = access;
    // A tag's Value is sampled as it changes (0: continuously); the rest at
    // the program's pulse.
    v.minimumSamplingInterval = source == ValueSource::TagText ? 0 : 10;
    v.source = source;
    v.arg = arg;
    v.typeDefinition = id::BaseDataVariableType;
    const int i = add(std::move(v));
    link(parent, id::HasComponent, i);
    link(i, id::HasTypeDefinition, IndexOf(NodeId::Numeric(id::BaseDataVariableType)));
    return i;
}

void AddressSpace::Rebuild()
{
    for (std::size_t i = fixedCount_; i < nodes_.size(); ++i)
        index_.erase(nodes_[i].id);
    nodes_.resize(fixedCount_);
    nodes_[static_cast<std::size_t>(portsFolder_)].refs.resize(portsFolderRefs_);
    nodeOfTag_.assign(hub_ ? static_cast<std::size_t>(std::max(hub_->TagCount(), 0)) : 0, -1);
    ++version_;
    if (!hub_)
        return;
    std::set<std::string> used;
    for (const PortInfo& p : hub_->Ports()) {
        // Two links on one PORT (a setting error) still get distinct nodes.
        std::string key = "Ports/" + p.port;
        for (int n = 2; used.count(key); ++n)
            key = "Ports/" + p.port + "~" + std::to_string(n);
        used.insert(key);
        Node object;
        object.id = NodeId(1, key);
        object.browseName = {1, p.description};
        object.displayName = {"", p.description + " (" + p.port + ")"};
        object.description = {"", "Port link " + p.port};
        object.typeDefinition = id::BaseObjectType;
        const int o = add(std::move(object));
        if (o < 0)
            continue;
        link(portsFolder_, id::Organizes, o);
        link(o, id::HasTypeDefinition, IndexOf(NodeId::Numeric(id::BaseObjectType)));
        if (p.tagIndex >= 0) {
            const int v = addVariable(o, NodeId(1, p.tagName), "Value", kString, ValueSource::TagText, p.tagIndex,
                                      kAccessRead | kAccessWrite,
                                      "The port's tag: the last string framed; a written text goes out of the port");
            if (v >= 0 && static_cast<std::size_t>(p.tagIndex) < nodeOfTag_.size())
                nodeOfTag_[static_cast<std::size_t>(p.tagIndex)] = v;
        }
        const int l = p.linkIndex;
        addVariable(o, NodeId(1, key + "/DeviceState"), "DeviceState", kString, ValueSource::PortState, l, kAccessRead,
                    "Stopped, Running or DeviceLost");
        addVariable(o, NodeId(1, key + "/StringsReceived"), "StringsReceived", kUInt64, ValueSource::PortStrings, l,
                    kAccessRead, "Strings framed on the port");
        addVariable(o, NodeId(1, key + "/BytesReceived"), "BytesReceived", kUInt64, ValueSource::PortBytesIn, l,
                    kAccessRead, "Bytes read from the device");
        addVariable(o, NodeId(1, key + "/BytesSent"), "BytesSent", kUInt64, ValueSource::PortBytesOut, l, kAccessRead,
                    "Bytes written to the device");
        addVariable(o, NodeId(1, key + "/LastReceived"), "LastReceived", kDateTime, ValueSource::PortLastReceived, l,
                    kAccessRead, "When the last string was framed");
        addVariable(o, NodeId(1, key + "/Errors"), "Errors", kUInt32, ValueSource::PortErrors, l, kAccessRead,
                    "Read and write errors of the port");
    }
}

int AddressSpace::IndexOf(const NodeId& id) const
{
    const auto it = index_.find(id);
    return it == index_.end() ? -1 : it->second;
}

int AddressSpace::NodeOfTag(int tagIndex) const
{
    if (tagIndex < 0 || static_cast<std::size_t>(tagIndex) >= nodeOfTag_.size())
        return -1;
    return nodeOfTag_[static_cast<std::size_t>(tagIndex)];
}

bool AddressSpace::IsSubtype(std::uint32_t type, std::uint32_t base) const
{
    for (int hops = 0; hops < 64; ++hops) {
        if (type == base)
            return true;
        const auto it = supertype_.find(type);
        if (it == supertype_.end())
            return false;
        type = it->second;
    }
    return false;
}

bool AddressSpace::IsReferenceType(const NodeId& id) const
{
    const Node* n = Find(id);
    return n && n->nodeClass == NodeClass::ReferenceType;
}

DataValue AddressSpace::ReadValue(const Node& node) const
{
    if (node.nodeClass != NodeClass::Variable && node.nodeClass != NodeClass::VariableType)
        return DataValue::Bad(sc::BadAttributeIdInvalid);
    switch (node.source) {
    case ValueSource::Static:
        return DataValue::Of(node.value);
    case ValueSource::Server:
        return DataValue::Of(serverValue_ ? serverValue_(node.id.numeric) : Variant());
    case ValueSource::NodeVersion:
        return DataValue::Of(Variant::String(std::to_string(version_)));
    case ValueSource::TagText: {
        TagValue tag;
        if (!hub_ || !hub_->Tag(node.arg, tag))
            return DataValue::Bad(sc::BadNodeIdUnknown);
        DataValue d = tag.deviceLost ? DataValue::Bad(sc::BadNoCommunication)
                                     : DataValue::Of(Variant::String(PortHub::ClientText(tag.text)));
        d.sourceTimestamp = tag.changedMs ? DateTimeFromUnixMs(tag.changedMs) : 0;
        return d;
    }
    default:
        break;
    }
    if (!hub_ || node.arg < 0 || node.arg >= hub_->PortCount())
        return DataValue::Bad(sc::BadNodeIdUnknown);
    if (node.source == ValueSource::PortState)
        return DataValue::Of(Variant::String(PortStateText(hub_->State(node.arg))));
    const PortCounters c = hub_->Counters(node.arg);
    switch (node.source) {
    case ValueSource::PortStrings:
        return DataValue::Of(Variant::UInt64(c.stringsReceived));
    case ValueSource::PortBytesIn:
        return DataValue::Of(Variant::UInt64(c.bytesReceived));
    case ValueSource::PortBytesOut:
        return DataValue::Of(Variant::UInt64(c.bytesSent));
    case ValueSource::PortLastReceived:
        return DataValue::Of(Variant::Time(c.lastReceivedMs ? DateTimeFromUnixMs(c.lastReceivedMs) : 0));
    case ValueSource::PortErrors:
        return DataValue::Of(Variant::UInt32(c.errors));
    default:
        break;
    }
    return DataValue::Bad(sc::BadInternalError);
}

} // namespace ua
