#pragma once
// PortHub: the one seam through which the program's endpoints (the OPC UA
// server, the Sparkplug B edge node, and any later one) see ports and tags.
// It answers what ports there are, their state and counters and their tags'
// values, tells what changed, and carries a client's text to a port the way
// an OPC DA synchronous write does. Endpoints never touch links, drivers or
// the tag table directly, and the link engine knows no endpoint.
//
// Threads: main thread only. Signals are emitted on the main thread; a slot
// must not block (it runs inside the receive path).
// Lifetime: owned by the controller next to the link list and tag table it
// reads; endpoints must let go of it (disconnect) before it is destroyed.
#include <QObject>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TCommObj;
class TCommObjList;
class TTagTable;

enum class PortState { Stopped, Running, DeviceLost };
// "Stopped", "Running", "DeviceLost".
const char* PortStateText(PortState state);

struct PortCounters {
    std::uint64_t stringsReceived = 0; // strings published (remote mode: chunks delivered)
    std::uint64_t bytesReceived = 0;
    std::uint64_t bytesSent = 0;
    std::uint32_t errors = 0;
    std::int64_t lastReceivedMs = 0; // ms since 1970-01-01 UTC; 0 = none yet
};

struct PortInfo {
    int linkIndex = -1;
    std::string description; // the Port setting's DESCRIPTION
    std::string port;        // the Port setting's PORT (COM1 ... COM500)
    std::string tagName;     // empty in remote mode (there is no local tag)
    int tagIndex = -1;       // -1 in remote mode
    PortState state = PortState::Stopped;
    PortCounters counters;
};

struct TagValue {
    std::string name;
    std::string text;            // the port's bytes, one char each, as the tag holds them; shown to
                                 // people and clients through the port text rule (PortText.h)
    std::int64_t changedMs = 0;  // when the value was last stored; 0 = never
    std::uint64_t changeCount = 0;
    bool deviceLost = false;     // the tag's port waits for its device: the value is stale
};

class PortHub : public QObject {
    Q_OBJECT
public:
    // Installs itself as the observer of the link list and the tag table.
    PortHub(TCommObjList& links, TTagTable* tags, QObject* parent = nullptr);
    ~PortHub() override;
    PortHub(const PortHub&) = delete;
    PortHub& operator=(const PortHub&) = delete;

    // Remote mode: ports exchange strings with another server's tags and
    // have no local tag.
    bool RemoteMode() const;

    int PortCount() const;
    // Every field of the port of that link index; linkIndex -1 when none.
    PortInfo Port(int linkIndex) const;
    std::vector<PortInfo> Ports() const;
    // Cheap reads for endpoints that sample often.
    PortState State(int linkIndex) const;
    PortCounters Counters(int linkIndex) const;

    int TagCount() const;
    // Index of the tag named exactly name; -1 when none.
    int TagIndexOf(std::string_view name) const;
    // False when there is no such tag.
    bool Tag(int tagIndex, TagValue& out) const;
    // The link index of the port of a tag; -1 when the tag has no port (its
    // port was removed by a settings reload: it keeps its last value).
    int LinkOfTag(int tagIndex) const;

    // A client wrote text (the port's bytes: characters turned into bytes
    // by the port text rule, PortBytesFromText) to a tag: the text becomes
    // the tag's value, is handed to the port's sending side with the port's
    // auto-suffix (when it is not empty; this never waits for the port) and
    // is shown in the grid, exactly as an OPC DA synchronous write. False
    // when there is no such tag.
    bool WriteTag(int tagIndex, const std::string& text);

    // For clients whose strings are Unicode (OPC UA and Sparkplug B strings
    // are UTF-8): a tag's bytes as UTF-8 text, and such a text as the bytes
    // to write, by the program's one port text rule (PortText.h), so that
    // every client sees and sends the same characters.
    static std::string ClientText(std::string_view portBytes);
    static std::string PortBytes(std::string_view clientText);

signals:
    // A tag's value was stored (a framed string, a client write, a
    // simulation), even when the text is the same as before.
    void tagChanged(int tagIndex);
    // A port started, stopped, lost its device or got it back.
    void portStateChanged(int linkIndex);
    // The settings load rebuilt the links: ports may have come, gone or
    // moved to other link indexes; tags keep their indexes.
    void portsReloaded();

private:
    const TCommObj* link(int linkIndex) const;

    TCommObjList& links_;
    TTagTable* tags_;
};
