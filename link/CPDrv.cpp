#include "CPDrv.h"

#include "LineSettings.h"
#include "ReadySet.h"
#include "SerialDevice.h"
#include "TickCount.h"

#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <map>
#include <unordered_map>

Q_LOGGING_CATEGORY(lcSerialDriver, "linvaro.serial", QtWarningMsg)

namespace {

constexpr std::uint32_t kMinBufSize = 128;
constexpr std::uint32_t kMaxBufSize = 8192;
constexpr std::uint16_t kMinPollingDelay = 5;
constexpr std::uint16_t kMaxFlowLimit = 2048;
constexpr char kXonChar = 17;  // DC1
constexpr char kXoffChar = 19; // DC3
// A send without progress waits this long at most before it looks again at
// the time-out and the closing flag.
constexpr std::uint32_t kWritableWaitMs = 10;
// When the output queue counts as full there is no event for "room again";
// look again after this long.
constexpr std::uint32_t kQueueFullWaitMs = 2;

std::uint32_t ClampBufSize(std::uint32_t v) { return std::clamp(v, kMinBufSize, kMaxBufSize); }

std::mutex g_resolverMutex;
serial::ComPortMapping g_mapping;

serial::DeviceResolution ResolveDeviceOf(const std::string& portName)
{
    serial::ComPortMapping mapping;
    {
        std::lock_guard lock(g_resolverMutex);
        mapping = g_mapping;
    }
    return serial::ResolveDevice(portName, mapping);
}

} // namespace

// Watches every open driver of one thread: idle devices through one
// ReadySet descriptor, busy ones by their next read time on one timer. Made
// by the thread's first Connect and gone with its last Disconnect (later,
// when that happens inside one of its own calls).
class DeviceWatcher : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    static DeviceWatcher* Attach(TCommPortDriver* driver, const serial::SerialDevice& device, std::string& error)
    {
        DeviceWatcher* w = t_watcher;
        if (!w) {
            w = new DeviceWatcher;
            if (!w->set_.valid()) {
                delete w;
                error = "no readiness watch could be made";
                return nullptr;
            }
            t_watcher = w;
        }
        const std::uint64_t key = ++w->lastKey_;
        if (serial::SerialError err = w->set_.add(device, key); err.failed()) {
            error = err.text();
            w->releaseIfUnused();
            return nullptr;
        }
        driver->watchKey_ = key;
        w->drivers_[key] = driver;
        return w;
    }

    void Detach(TCommPortDriver* driver, const serial::SerialDevice& device)
    {
        set_.remove(device);
        drivers_.erase(driver->watchKey_);
        unschedule(driver->watchKey_);
        driver->watchKey_ = 0;
        releaseIfUnused();
    }

    // Watched again once it has been read empty.
    void Arm(TCommPortDriver* driver, const serial::SerialDevice& device)
    {
        if (set_.arm(device, driver->watchKey_).failed())
            schedule(driver, std::chrono::milliseconds(driver->PollingDelay())); // read it on time instead
    }

    void Schedule(TCommPortDriver* driver, std::chrono::milliseconds after) { schedule(driver, after); }

private:
    DeviceWatcher() : notifier_(set_.descriptor(), QSocketNotifier::Read)
    {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { dispatchReady(); });
        connect(&timer_, &QTimer::timeout, this, [this] { dispatchDue(); });
    }

    // Driver calls may run event loops (a message box) and come back here, or
    // disconnect any driver: every step looks its driver up again by key.
    struct Frame {
        DeviceWatcher* w;
        explicit Frame(DeviceWatcher* watcher) : w(watcher) { ++w->depth_; }
        ~Frame()
        {
            if (--w->depth_ == 0 && w->dueDeleted_)
                delete w;
        }
    };

    void dispatchReady()
    {
        Frame frame(this);
        // Every device ready now, in batches; those that turn ready meanwhile
        // wake the notifier again.
        std::uint64_t keys[64];
        for (std::size_t batch = 0; batch < 64; ++batch) {
            const std::size_t n = set_.ready(keys, std::size(keys));
            for (std::size_t i = 0; i < n; ++i)
                if (auto it = drivers_.find(keys[i]); it != drivers_.end())
                    it->second->readyToRead();
            if (n < std::size(keys))
                break;
        }
    }

    void dispatchDue()
    {
        Frame frame(this);
        armedFor_ = Clock::time_point::max();
        // Reads due within the next millisecond go now: one wake-up serves
        // every busy port whose turn is that close.
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(1);
        for (;;) {
            if (due_.empty() || due_.begin()->first > until)
                break;
            const std::uint64_t key = due_.begin()->second;
            due_.erase(due_.begin());
            dueOf_.erase(key);
            if (auto it = drivers_.find(key); it != drivers_.end())
                it->second->readyToRead();
        }
        restartTimer();
    }

    void schedule(TCommPortDriver* driver, std::chrono::milliseconds after)
    {
        unschedule(driver->watchKey_);
        const Clock::time_point at = Clock::now() + after;
        dueOf_[driver->watchKey_] = due_.emplace(at, driver->watchKey_);
        // The timer is moved only for an earlier read (a later one is found
        // when the timer fires), so busy ports do not restart it at every read.
        if (at < armedFor_)
            restartTimer();
    }

    void unschedule(std::uint64_t key)
    {
        if (auto it = dueOf_.find(key); it != dueOf_.end()) {
            due_.erase(it->second);
            dueOf_.erase(it);
        }
    }

    void restartTimer()
    {
        if (due_.empty()) {
            timer_.stop();
            armedFor_ = Clock::time_point::max();
            return;
        }
        armedFor_ = due_.begin()->first;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(armedFor_ - Clock::now());
        timer_.start(static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0)));
    }

    void releaseIfUnused()
    {
        if (!drivers_.empty())
            return;
        if (t_watcher == this)
            t_watcher = nullptr;
        if (depth_ > 0)
            dueDeleted_ = true;
        else
            delete this;
    }

    static thread_local DeviceWatcher* t_watcher;

    serial::ReadySet set_;
    QSocketNotifier notifier_;
    QTimer timer_;
    std::unordered_map<std::uint64_t, TCommPortDriver*> drivers_;
    std::multimap<Clock::time_point, std::uint64_t> due_;
    std::unordered_map<std::uint64_t, std::multimap<Clock::time_point, std::uint64_t>::iterator> dueOf_;
    Clock::time_point armedFor_ = Clock::time_point::max(); // when the timer fires; max: stopped
    std::uint64_t lastKey_ = 0;
    int depth_ = 0;
    bool dueDeleted_ = false;
};

thread_local DeviceWatcher* DeviceWatcher::t_watcher = nullptr;

// The send turn, taken for the object's life; a timed wait gives up at its
// deadline. (A condition variable rather than a timed mutex: the timed lock
// of the C library is not seen by the thread checker.)
class TCommPortDriver::SendTurn {
public:
    explicit SendTurn(TCommPortDriver& d) : d_(d)
    {
        std::unique_lock lock(d_.turnMutex_);
        d_.turnFree_.wait(lock, [this] { return !d_.turnTaken_; });
        d_.turnTaken_ = taken_ = true;
    }
    SendTurn(TCommPortDriver& d, std::chrono::steady_clock::time_point deadline) : d_(d)
    {
        std::unique_lock lock(d_.turnMutex_);
        if (d_.turnFree_.wait_until(lock, deadline, [this] { return !d_.turnTaken_; }))
            d_.turnTaken_ = taken_ = true;
    }
    ~SendTurn()
    {
        if (!taken_)
            return;
        {
            std::lock_guard lock(d_.turnMutex_);
            d_.turnTaken_ = false;
        }
        d_.turnFree_.notify_one();
    }
    SendTurn(const SendTurn&) = delete;
    SendTurn& operator=(const SendTurn&) = delete;
    bool taken() const { return taken_; }

private:
    TCommPortDriver& d_;
    bool taken_ = false;
};

std::uint32_t BaudRateOf(TBaudRate rate)
{
    static constexpr std::uint32_t kRates[] = {0,     110,   300,   600,   1200,   2400,   4800,  9600,
                                               14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    const auto i = static_cast<std::size_t>(rate);
    return i < std::size(kRates) ? kRates[i] : 0;
}

void TCommPortDriver::SetDeviceNameResolver(std::function<std::string(const std::string& comName)> resolver)
{
    serial::ComPortMapping mapping;
    if (resolver)
        mapping = [resolver = std::move(resolver)](const std::string& com) {
            return serial::MappingFromPath(resolver(com));
        };
    SetDeviceMapping(std::move(mapping));
}

void TCommPortDriver::SetDeviceMapping(serial::ComPortMapping mapping)
{
    std::lock_guard lock(g_resolverMutex);
    g_mapping = std::move(mapping);
}

std::string TCommPortDriver::DevicePathFor(const std::string& portName) { return ResolveDeviceOf(portName).path; }

TCommPortDriver::TCommPortDriver(QObject* owner) : QObject(owner), receiveBuffer_(inBufSize_) {}

TCommPortDriver::~TCommPortDriver() { Disconnect(); }

// ---- properties ----

void TCommPortDriver::SetPort(TPortNumber p)
{
    if (open_)
        return;
    port_ = p;
    if (p >= pnCOM1 && p <= pnCOM16)
        portName_ = "\\\\.\\COM" + std::to_string(static_cast<int>(p));
}

void TCommPortDriver::SetPortName(const std::string& name)
{
    if (open_)
        return;
    portName_ = name;
    port_ = pnCustom;
}

void TCommPortDriver::SetBaudRate(TBaudRate r)
{
    baudRate_ = r;
    if (r != brCustom)
        baudRateValue_ = BaudRateOf(r);
    reapplyLineSettings();
}

void TCommPortDriver::SetBaudRateValue(std::uint32_t v)
{
    baudRateValue_ = v;
    baudRate_ = brCustom;
    reapplyLineSettings();
}

void TCommPortDriver::SetDataBits(TDataBits v)
{
    dataBits_ = v;
    reapplyLineSettings();
}

void TCommPortDriver::SetStopBits(TStopBits v)
{
    stopBits_ = v;
    reapplyLineSettings();
}

void TCommPortDriver::SetParity(TParity v)
{
    parity_ = v;
    reapplyLineSettings();
}

void TCommPortDriver::SetHwFlow(THwFlowControl v)
{
    hwFlow_ = v;
    reapplyLineSettings();
}

void TCommPortDriver::SetSwFlow(TSwFlowControl v)
{
    swFlow_ = v;
    reapplyLineSettings();
}

void TCommPortDriver::SetInBufSize(std::uint32_t v)
{
    if (open_)
        return;
    inBufSize_ = ClampBufSize(v);
    receiveBuffer_.assign(inBufSize_, 0);
}

void TCommPortDriver::SetOutBufSize(std::uint32_t v)
{
    if (open_)
        return;
    outBufSize_ = ClampBufSize(v);
}

void TCommPortDriver::SetPollingDelay(std::uint16_t ms) { pollingDelay_ = std::max(ms, kMinPollingDelay); }

// ---- line settings ----

namespace {

serial::DCB BuildDcb(std::uint32_t baud, TDataBits dataBits, TParity parity, TStopBits stopBits,
                     THwFlowControl hwFlow, TSwFlowControl swFlow, bool dtrOnOpen, std::uint32_t inBufSize)
{
    using namespace serial::DcbFlags;
    serial::DCB dcb;
    dcb.DCBlength = sizeof(serial::DCB);
    dcb.BaudRate = baud;
    dcb.Flags = fBinary;
    if (dtrOnOpen)
        dcb.Flags |= DTR_CONTROL_ENABLE;
    switch (hwFlow) {
    case hfNONERTSON: dcb.Flags |= RTS_CONTROL_ENABLE; break;
    case hfRTSCTS: dcb.Flags |= fOutxCtsFlow | RTS_CONTROL_HANDSHAKE; break;
    default: break;
    }
    if (swFlow == sfXONXOFF)
        dcb.Flags |= fOutX | fInX;
    const auto limit = static_cast<std::uint16_t>(std::min<std::uint32_t>(inBufSize / 4, kMaxFlowLimit));
    dcb.XonLim = limit;
    dcb.XoffLim = limit;
    dcb.ByteSize = static_cast<std::uint8_t>(5 + static_cast<int>(dataBits));
    dcb.Parity = static_cast<std::uint8_t>(parity);
    dcb.StopBits = static_cast<std::uint8_t>(stopBits);
    dcb.XonChar = kXonChar;
    dcb.XoffChar = kXoffChar;
    return dcb;
}

} // namespace

void TCommPortDriver::reapplyLineSettings()
{
    if (!open_)
        return;
    const serial::DCB dcb = BuildDcb(baudRateValue_, dataBits_, parity_, stopBits_, hwFlow_, swFlow_,
                                     enableDTROnOpen_, inBufSize_);
    std::shared_lock lock(deviceLock_);
    if (!device_)
        return;
    if (serial::SerialError err = device_->applyDcb(dcb); err.failed())
        qCWarning(lcSerialDriver) << "line settings not applied:" << err.text().c_str();
}

// ---- open and close ----

bool TCommPortDriver::Connect()
{
    if (open_)
        return true;

    const serial::DeviceResolution resolved = ResolveDeviceOf(portName_);
    if (resolved.path.empty()) {
        lastError_ = resolved.error;
        qCWarning(lcSerialDriver) << "cannot open port" << portName_.c_str() << "-" << lastError_.c_str();
        return false;
    }
    const std::string& path = resolved.path;
    auto device = std::make_unique<serial::SerialDevice>();
    serial::SerialError err = device->open(path);
    if (err.ok())
        err = device->applyDcb(BuildDcb(baudRateValue_, dataBits_, parity_, stopBits_, hwFlow_, swFlow_,
                                        enableDTROnOpen_, inBufSize_));
    if (err.ok())
        err = device->purge(true, true);
    if (err.ok())
        err = device->setupQueues(inBufSize_, outBufSize_);
    if (err.failed()) {
        lastError_ = err.text();
        // Serial devices belong to group dialout: a user outside it is the
        // usual cause of a refused open on a fresh installation.
        if (err.code() == EACCES)
            lastError_ += "; the user must be in the group dialout (sudo adduser $USER dialout, then log in again)";
        qCWarning(lcSerialDriver) << "cannot open port" << portName_.c_str() << "-" << lastError_.c_str();
        return false; // the device closes itself
    }

    std::string watchError;
    DeviceWatcher* watcher = DeviceWatcher::Attach(this, *device, watchError);
    if (!watcher) {
        lastError_ = watchError;
        qCWarning(lcSerialDriver) << "cannot watch port" << portName_.c_str() << "-" << lastError_.c_str();
        return false;
    }
    lastError_.clear();
    {
        std::unique_lock lock(deviceLock_);
        device_ = std::move(device);
        open_ = true;
    }
    watcher_ = watcher;
    lineErrorRaised_ = false;
    return true;
}

void TCommPortDriver::Disconnect()
{
    if (!open_)
        return;
    if (watcher_) {
        std::shared_lock lock(deviceLock_);
        watcher_->Detach(this, *device_);
        watcher_ = nullptr;
    }

    closing_ = true;
    SendTurn send(*this);
    std::unique_ptr<serial::SerialDevice> device;
    {
        std::unique_lock lock(deviceLock_);
        device = std::move(device_);
        open_ = false;
    }
    // Closed outside deviceLock_ (close may let queued output leave for a
    // moment) but holding the send turn: no send can start on it.
    device.reset();
    closing_ = false;
}

bool TCommPortDriver::Connected() const { return open_; }

// ---- receiving ----

void TCommPortDriver::readyToRead()
{
    if (!watcher_)
        return;
    if (polling_) {
        // Inside this driver's own event (a message box): read once it is over.
        watcher_->Schedule(this, std::chrono::milliseconds(pollingDelay_));
        return;
    }
    const bool got = readOnce();
    // The handler may have disconnected, or a line error ended reading until
    // the next Connect.
    if (!watcher_ || lineErrorRaised_)
        return;
    if (got) {
        watcher_->Schedule(this, std::chrono::milliseconds(pollingDelay_));
        return;
    }
    std::shared_lock lock(deviceLock_);
    if (device_)
        watcher_->Arm(this, *device_);
}

bool TCommPortDriver::readOnce()
{
    std::size_t got = 0;
    std::string lineError;
    {
        std::shared_lock lock(deviceLock_);
        if (!device_)
            return false;
        if (serial::SerialError err = device_->read(receiveBuffer_.data(), receiveBuffer_.size(), got);
            err.failed()) {
            // A failed read raises no data; a line that went away is told once.
            // Any other failure is tried again after PollingDelay.
            if (err.hungUp())
                lineError = err.text();
            got = 0;
            if (lineError.empty())
                return true;
        }
    }
    if (!lineError.empty()) {
        raiseLineError(lineError);
        return false;
    }
    if (got == 0)
        return false;
    if (!onReceiveData_)
        return true;

    // The lock is released: the handler may disconnect.
    struct Reentry {
        bool& flag;
        explicit Reentry(bool& f) : flag(f) { flag = true; }
        ~Reentry() { flag = false; }
    } reentry(polling_);
    onReceiveData_(this, receiveBuffer_.data(), static_cast<std::uint32_t>(got));
    return true;
}

void TCommPortDriver::raiseLineError(const std::string& error)
{
    if (lineErrorRaised_)
        return;
    lineErrorRaised_ = true;
    if (onLineError_)
        onLineError_(this, error);
}

// ---- queues and lines ----

bool TCommPortDriver::FlushBuffers(bool input, bool output)
{
    std::shared_lock lock(deviceLock_);
    if (!device_)
        return false;
    return device_->purge(input, output).ok();
}

std::int16_t TCommPortDriver::outFreeSpaceLocked() const
{
    if (!device_)
        return -1;
    serial::QueueCounts counts;
    if (device_->queueCounts(counts).failed())
        return 0; // nothing known to be free
    const long free = static_cast<long>(outBufSize_.load()) - static_cast<long>(counts.output);
    return static_cast<std::int16_t>(std::max<long>(free, std::numeric_limits<std::int16_t>::min()));
}

std::int16_t TCommPortDriver::OutFreeSpace() const
{
    std::shared_lock lock(deviceLock_);
    return outFreeSpaceLocked();
}

unsigned TCommPortDriver::lineStatusLocked() const
{
    serial::ModemLines lines;
    if (!device_ || !device_->modemStatus(lines))
        return 0;
    return (lines.cts ? lsCTS : 0u) | (lines.dsr ? lsDSR : 0u) | (lines.ring ? lsRING : 0u)
        | (lines.cd ? lsCD : 0u);
}

unsigned TCommPortDriver::GetLineStatus() const
{
    std::shared_lock lock(deviceLock_);
    return lineStatusLocked();
}

// ---- sending ----

std::uint32_t TCommPortDriver::SendData(const char* data, std::uint32_t count)
{
    return SendDataEx(data, count, OutputTimeout());
}

std::uint32_t TCommPortDriver::SendDataEx(const char* data, std::uint32_t count, std::uint32_t timeoutMs)
{
    if (!open_)
        return 0;
    // The caller's clock starts now: waiting behind another send is part of
    // the time the first byte may take.
    std::uint32_t lastProgress = GetTickCount();
    SendTurn send(*this, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs) +
                             std::chrono::milliseconds(1));
    if (!send.taken())
        return 0;

    std::uint32_t sent = 0;
    while (sent < count && !closing_) {
        std::shared_lock lock(deviceLock_);
        if (!device_)
            break;

        const std::int16_t free = outFreeSpaceLocked();
        std::size_t written = 0;
        if (free > 0) {
            if (checkLineStatus_ && lineStatusLocked() == 0)
                break;
            const std::uint32_t chunk = std::min<std::uint32_t>(static_cast<std::uint32_t>(free), count - sent);
            if (serial::SerialError err = device_->write(data + sent, chunk, written); err.failed()) {
                // The line is gone: no progress can come, so waiting out the
                // time-out would only hold the caller.
                qCWarning(lcSerialDriver) << "send stopped:" << err.text().c_str();
                break;
            }
        }
        if (written > 0) {
            sent += static_cast<std::uint32_t>(written);
            lastProgress = GetTickCount();
            continue;
        }

        const std::uint32_t elapsed = TicksElapsed(lastProgress, GetTickCount());
        if (elapsed > timeoutMs)
            break;
        const std::uint32_t left = timeoutMs - elapsed + 1;
        if (free > 0) {
            const int wait = static_cast<int>(std::min(kWritableWaitMs, left));
            if (device_->waitWritable(wait) == serial::WaitResult::Failed)
                break; // hung up
        } else {
            lock.unlock();
            Sleep(std::min(kQueueFullWaitMs, left));
        }
    }
    return sent;
}

bool TCommPortDriver::SendString(std::string_view text)
{
    const auto count = static_cast<std::uint32_t>(
        std::min<std::size_t>(text.size(), std::numeric_limits<std::uint32_t>::max()));
    return SendData(text.data(), count) == text.size();
}
