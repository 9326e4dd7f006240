#pragma once
// The nodes the endpoint serves. Namespace 0 holds the standard nodes of
// Ns0Nodes.inc (folders, the Server object, their types); namespace 1 holds
// the Ports folder with one object per port link and its variables, built
// from the PortHub and rebuilt at every settings reload:
//
//   Objects/Ports                       ns=1;s=Ports  (NodeVersion changes at each reload)
//     <DESCRIPTION>  "DESCRIPTION (PORT)"  ns=1;s=Ports/<PORT>
//       Value            ns=1;s=<tag name>   String, read/write (no Value in remote mode)
//       DeviceState      ns=1;s=Ports/<PORT>/DeviceState  String
//       StringsReceived, BytesReceived, BytesSent  UInt64
//       LastReceived     DateTime
//       Errors           UInt32
//
// Nodes are kept in one vector with their references (forward and inverse)
// by index; NodeIds map to indexes. Values of variables are not stored:
// each node says where its value comes from.
//
// Threads: main thread (it reads the hub).
#include "Messages.h"

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

class PortHub;

namespace ua {

enum class ValueSource : std::uint8_t {
    Static,        // Node::value
    Server,        // asked of the server (status, capabilities, diagnostics)
    TagText,       // arg = tag index
    PortState,     // arg = link index
    PortStrings,
    PortBytesIn,
    PortBytesOut,
    PortLastReceived,
    PortErrors,
    NodeVersion,   // the Ports folder's model version
};

struct Reference {
    std::uint32_t type = 0; // a reference type of namespace 0
    bool forward = true;
    int target = -1;
};

struct Node {
    NodeId id;
    NodeClass nodeClass = NodeClass::Object;
    QualifiedName browseName;
    LocalizedText displayName;
    LocalizedText description;
    bool isAbstract = false;
    bool symmetric = false;
    LocalizedText inverseName;
    std::uint8_t eventNotifier = 0;
    std::uint32_t dataType = 0; // a data type of namespace 0
    std::int32_t valueRank = -1;
    std::vector<std::uint32_t> arrayDimensions;
    std::uint8_t accessLevel = 1; // CurrentRead
    double minimumSamplingInterval = 0;
    ValueSource source = ValueSource::Static;
    int arg = -1;
    Variant value;
    std::uint32_t typeDefinition = 0;
    std::vector<Reference> refs;
};

inline constexpr std::uint8_t kAccessRead = 0x01, kAccessWrite = 0x02;

class AddressSpace {
public:
    // Values the server gives for ValueSource::Server nodes (by numeric id).
    using ServerValue = std::function<Variant(std::uint32_t id)>;

    AddressSpace(PortHub* hub, std::string namespaceUri, ServerValue serverValue);

    // Namespace 1 again from the hub's ports (after a settings reload).
    void Rebuild();
    // Counts rebuilds; the Ports folder's NodeVersion.
    std::uint32_t Version() const { return version_; }
    const std::string& NamespaceUri() const { return namespaceUri_; }

    int IndexOf(const NodeId& id) const;
    const Node* Find(const NodeId& id) const
    {
        const int i = IndexOf(id);
        return i < 0 ? nullptr : &nodes_[static_cast<std::size_t>(i)];
    }
    const Node& At(int index) const { return nodes_[static_cast<std::size_t>(index)]; }
    int Count() const { return static_cast<int>(nodes_.size()); }
    // The Value node of a tag; -1 when the tag has no port (or in remote mode).
    int NodeOfTag(int tagIndex) const;

    // Whether type is base or one of its subtypes (reference and data types).
    bool IsSubtype(std::uint32_t type, std::uint32_t base) const;
    bool IsReferenceType(const NodeId& id) const;

    // The current value of a variable: the value (null when the status is
    // bad), its status and source time stamp (0 when it has none).
    DataValue ReadValue(const Node& node) const;

private:
    void addNs0();
    int add(Node node);
    void link(int source, std::uint32_t type, int target);
    int addVariable(int parent, NodeId id, const std::string& name, std::uint32_t dataType, ValueSource source,
                    int arg, std::uint8_t access, const std::string& description);

    PortHub* hub_;
    std::string namespaceUri_;
    ServerValue serverValue_;
    std::vector<Node> nodes_;
    std::unordered_map<NodeId, int, NodeIdHash> index_;
    std::unordered_map<std::uint32_t, std::uint32_t> supertype_;
    std::vector<int> nodeOfTag_;
    std::size_t fixedCount_ = 0;     // nodes that stay across rebuilds
    std::size_t portsFolderRefs_ = 0; // references of the Ports folder that stay
    int portsFolder_ = -1;
    std::uint32_t version_ = 0;
};

} // namespace ua
