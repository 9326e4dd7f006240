#pragma once
// One connection to the remote OPC server: the server object, one inactive
// group for every tag the links use, and the item of each tag, added on its
// first use. Reads come from the device (not a cache), so a flag a client
// cleared a moment ago is seen cleared.
//
// A call that fails in transport (the server left the bus, restarted, or did
// not answer) drops the connection and tries once more on a fresh one, so a
// restarted server is picked up by the next call. After a failed connect no
// new attempt is made for kRetryPauseMs: calls in that time fail at once.
//
// Thread: one (the remote tag library's own); the client library it uses
// keeps its tables without locks.
#include "ComObject.h"
#include "OPCDA.h"
#include "Variant.h"

#include <chrono>
#include <map>
#include <string>

class RemoteSession {
public:
    static constexpr int kRetryPauseMs = 500;

    explicit RemoteSession(std::string progId) : progId_(std::move(progId)) {}
    ~RemoteSession() { drop(); }
    RemoteSession(const RemoteSession&) = delete;
    RemoteSession& operator=(const RemoteSession&) = delete;

    // The tag's current value (its canonical type) into value; false when the
    // item is unknown, the read failed or the quality is bad.
    bool Read(const std::string& tag, Variant& value);
    // Writes value, converted to the tag's canonical type where it can be.
    bool Write(const std::string& tag, const VARIANT& value);

    bool Connected() const { return static_cast<bool>(io_); }

private:
    struct Item {
        OPCHANDLE server = 0;
        VARTYPE canonical = VT_EMPTY;
    };
    enum class Outcome { Done, Failed, Transport };

    bool connect();
    void drop();
    // The item of tag, added to the group when first used.
    Outcome item(const std::string& tag, Item& out);
    Outcome read(const std::string& tag, Variant& value);
    Outcome write(const std::string& tag, const VARIANT& value);
    template <typename F> bool withRetry(F&& attempt);

    std::string progId_;
    ComPtr<IOPCServer> server_;
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IOPCSyncIO> io_;
    std::map<std::string, Item> known_;
    OPCHANDLE nextClientHandle_ = 1;
    std::chrono::steady_clock::time_point retryAfter_{};
};
