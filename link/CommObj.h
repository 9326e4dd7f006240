#pragma once
// TCommObj: the port link, the running counterpart of one enabled Port
// setting. Frames the bytes its serial driver receives into strings and
// stores each as its tag's value (local mode) or delivers chunks to a remote
// OPC server's tags under a flag handshake (remote mode). Its worker thread is
// the port's sending side: it sends client writes in the order they came,
// the auto-send string at its interval and, in remote mode, the sent string
// of the sent-flag handshake; nothing the port sends waits on the main thread.
//
// The worker runs while the link is started and has something to do: from
// the start with an auto-send string or a remote sent flag tag, otherwise
// from the first client write until it has been idle for kIdleWorkerMs. A
// started link always gets a working worker: a start that finds the previous
// thread still ending starts the new one as soon as that thread has ended.
//
// Ownership: the link owns its driver and its worker; destroying it stops the
// worker, waits for its thread (serving the main thread's events meanwhile),
// then closes the port. The link list owns the links.
// Threads: configuration, start, stop, client writes and the receive path run
// on the main thread. The send loop runs on the worker thread; Send may be
// called from any thread. Failures met on the worker thread are reported on
// the main thread through the link list; the worker never touches the link's
// worker component (which the main thread may be destroying) to do so.
#include "BMDThread.h"
#include "CPDrv.h"
#include "PortSettingRecord.h"
#include "Variant.h"

#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class LinkHost;
class RemoteTagLibrary;
class TCommObjList;
class TTagTable;

enum class LinkMode { Local, Remote };

// What a link has done since it was configured; read from any thread.
struct LinkCounters {
    std::uint64_t stringsReceived = 0; // strings published (remote mode: chunks delivered)
    std::uint64_t bytesReceived = 0;
    std::uint64_t bytesSent = 0;
    std::uint32_t errors = 0;          // failed sends, failed tag access, device losses
    std::int64_t lastReceivedMs = 0;   // ms since 1970-01-01 UTC of the last string; 0 = none
};

// Program-wide values a link takes at the settings load.
struct LinkConfig {
    LinkMode mode = LinkMode::Local;
    std::uint32_t portResponseTimeout = 5000; // ms
    std::string programFolder;                // with a trailing '/'
};

class TCommObj {
public:
    TCommObj(TCommObjList& list, LinkHost& host, LinkMode mode, TTagTable* tags, RemoteTagLibrary* remote);
    ~TCommObj();
    TCommObj(const TCommObj&) = delete;
    TCommObj& operator=(const TCommObj&) = delete;

    // Fills the link and its driver from a Port setting.
    void Configure(const TPortSetting& setting, const LinkConfig& config);
    // Serial settings from their Port setting texts; a text outside the table
    // shows its "Invalid ... setting!" box and leaves the driver unchanged.
    void SetDataBits(std::string_view text);
    void SetParity(std::string_view text);
    void SetStopBits(std::string_view text);
    void SetFlowControl(std::string_view text);

    bool Start();
    void Stop();

    // The driver's receive event: one chunk of received bytes.
    void ReceiveData(const char* data, std::uint32_t size);

    // Appends the auto-suffix and writes the bytes to the port, waiting for
    // the port (up to the Port Response Timeout without progress); records the
    // outcome in the send-failed flag and returns it (true: all went). Any
    // thread; the link itself calls it on its worker only.
    bool Send(std::string_view bytes);
    // The value's text turned into bytes by the port text rule, then Send.
    bool SendFromTagValue(const VARIANT& value);
    // A client wrote these bytes to the port's tag: queued for the worker,
    // which sends them (with the auto-suffix) after the writes before them.
    // Returns at once. On a stopped link nothing can go out: only the
    // send-failed flag records it. A write that cannot go out in time, or that
    // finds more than kMaxQueuedBytes waiting, is logged with the port's
    // description. Main thread.
    void QueueClientWrite(const std::string& bytes);
    static constexpr std::size_t kMaxQueuedBytes = 1 << 20;
    static constexpr int kIdleWorkerMs = 10000;
    // Client writes waiting for the worker. Any thread.
    std::size_t QueuedWrites() const;

    // Remote-mode tag access (local mode: true, nothing read or written).
    // On failure they stop all links and report, then return false.
    bool TagRead(const std::string& tagName, VARIANT* value);
    bool TagWrite(const std::string& tagName, const VARIANT* value);
    bool ElementWrite(const std::string& tagName, std::string_view bytes);

    // Fields.
    const std::string& Description() const { return description_; }
    // The Port setting's PORT (COM1 ... COM500).
    const std::string& PortName() const { return port_; }
    LinkCounters Counters() const;
    const std::string& ReceivedStringTag() const { return receivedStringTag_; }
    const std::string& ReceivedFlagTag() const { return receivedFlagTag_; }
    const std::string& SentStringTag() const { return sentStringTag_; }
    const std::string& SentFlagTag() const { return sentFlagTag_; }
    int LinkIndex() const { return linkIndex_; }
    void SetLinkIndex(int i) { linkIndex_ = i; }
    const std::string& TagName() const { return tagName_; }
    // Index of this link's tag in the tag table; -1 until bound.
    int TagIndex() const { return tagIndex_; }
    void BindTag(const std::string& tagName, int tagIndex);
    bool Running() const { return running_; }
    bool SendFailed() const { return sendFailed_.load(); }
    int TerminatingChar() const { return terminatingChar_; }
    const std::string& ExtractionMarker() const { return extractionMarker_; }
    bool ConvertHex() const { return convertHex_; }
    const std::string& AutoSuffix() const { return autoSuffix_; }
    const std::string& AutoSendString() const { return autoSendString_; }
    int AutoSendInterval() const { return autoSendInterval_; }
    bool Logged() const { return logged_; }
    const std::string& LogFilePath() const { return logFilePath_; }
    bool ReceiveArmed() const { return receiveArmed_; }
    // The device went away while running and the link waits for it to come
    // back (it retries the same device path every second).
    bool DeviceLost() const { return deviceLost_; }
    static constexpr int kReopenIntervalMs = 1000;
    // What the port's "Current Tag Value" cell reads while its device is
    // gone; the tag keeps its last value for OPC clients, and the cell shows
    // that value again once the device is back or the link stops.
    static constexpr const char* kDeviceLostText = "<device lost>";
    const std::string& PendingText() const { return pendingText_; }
    LinkMode Mode() const { return mode_; }
    TCommPortDriver& Driver() { return *driver_; }
    // Why the last Start failed (the device path and the system's reason).
    const std::string& StartError() const { return driver_->LastError(); }
    TBMDThread& Worker() { return *worker_; }

private:
    using Clock = std::chrono::steady_clock;
    struct QueuedWrite {
        std::string bytes;     // with the auto-suffix
        std::size_t textSize;  // the client's bytes, for the log
    };

    void processString(std::string text);
    void deviceLost(const std::string& error);
    void showTagValueAgain();
    void tryReopen();
    // Whether the worker has work while the link runs whatever clients do.
    bool periodicDuty() const;
    // Starts or wakes the worker when the started link has work for it.
    void ensureWorker();
    void sendLoop(TBMDExecuteThread* thread);
    void sendClientWrite(const QueuedWrite& write, TBMDExecuteThread* thread);
    // One pass of the sent-flag handshake; the time of the next.
    Clock::time_point sentFlagHandshake(TBMDExecuteThread* thread);
    bool remoteGate();
    // Logs a received flag value that is not a number, once until it changes.
    void noteUnreadableFlag(const VARIANT& flag);
    void remoteDelivery(std::string_view bytes, const std::string& hex);
    // Stop-all, then (optionally) message processing, the log line and the
    // box, on the main thread; from the worker thread it is queued there.
    void reportFailure(const std::string& logLine, const std::string& boxText, bool processMessages);
    // Writes bytes as they are to the port within the output time-out, counts
    // them and logs them for a logged port; the number that went out.
    std::uint32_t writeOut(std::string_view out);
    void noteStringReceived();

    TCommObjList& list_;
    LinkHost& host_;
    LinkMode mode_;
    TTagTable* tags_;
    RemoteTagLibrary* remote_;

    std::string description_;
    std::string port_;
    std::string receivedStringTag_, receivedFlagTag_, sentStringTag_, sentFlagTag_;
    int linkIndex_ = 0;
    std::string tagName_;
    int tagIndex_ = -1;
    std::unique_ptr<TCommPortDriver> driver_;
    bool running_ = false;
    std::atomic<bool> sendFailed_{false};
    std::atomic<std::uint64_t> stringsReceived_{0}, bytesReceived_{0}, bytesSent_{0};
    std::atomic<std::uint32_t> errors_{0};
    std::atomic<std::int64_t> lastReceivedMs_{0};
    int terminatingChar_ = -1;
    std::string extractionMarker_;
    bool convertHex_ = false;
    std::string autoSuffix_;
    std::string autoSendString_;
    std::string autoSendBytes_; // the auto-send string by the port text rule
    int autoSendInterval_ = 100;
    bool logged_ = false;
    std::string logFilePath_;
    bool receiveArmed_ = false;
    std::unique_ptr<TBMDThread> worker_;
    // The run of the link list this link was last started in (read by the
    // worker when it reports a failure).
    std::atomic<unsigned> run_{0};
    mutable std::mutex queueMutex_;
    std::deque<QueuedWrite> queue_; // guarded by queueMutex_
    std::size_t queuedBytes_ = 0;   // guarded by queueMutex_
    std::string pendingText_;
    std::string unreadableFlag_; // last received flag value that was not a number
    bool deviceLost_ = false;
    QTimer reopenTimer_;
};

// Trims every leading and trailing character whose code is 32 or less.
std::string_view TrimControls(std::string_view s);
// Two upper-case hex digits per byte, no separators.
std::string HexText(std::string_view s);
// Equality with 1 when compared as numbers (integer 1, real 1.0, text "1").
bool EqualsOneAsNumber(const VARIANT& v);
// The received-flag test: the value as an integer has the bit of weight 2.
// A value that cannot be taken as an integer counts as set.
bool FlagIsSet(const VARIANT& v);
