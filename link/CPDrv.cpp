#include "CPDrv.h"

#include "LineSettings.h"
#include "SerialDevice.h"
#include "TickCount.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <limits>

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

TCommPortDriver::TCommPortDriver(QObject* owner)
    : QObject(owner), receiveBuffer_(inBufSize_), pollTimer_(this)
{
    connect(&pollTimer_, &QTimer::timeout, this, &TCommPortDriver::poll);
}

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

void TCommPortDriver::SetPollingDelay(std::uint16_t ms)
{
    pollingDelay_ = std::max(ms, kMinPollingDelay);
    if (open_)
        pollTimer_.start(pollingDelay_);
}

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

    lastError_.clear();
    {
        std::unique_lock lock(deviceLock_);
        device_ = std::move(device);
        open_ = true;
    }
    lineErrorRaised_ = false;
    idlePolls_ = 0;
    pollTimer_.start(pollingDelay_);
    return true;
}

void TCommPortDriver::Disconnect()
{
    if (!open_)
        return;
    pollTimer_.stop();

    closing_ = true;
    std::lock_guard send(sendMutex_);
    std::unique_ptr<serial::SerialDevice> device;
    {
        std::unique_lock lock(deviceLock_);
        device = std::move(device_);
        open_ = false;
    }
    // Closed outside deviceLock_ (close may let queued output leave for a
    // moment) but under sendMutex_: no send can start on it.
    device.reset();
    closing_ = false;
}

bool TCommPortDriver::Connected() const { return open_; }

// ---- receive polling ----

void TCommPortDriver::poll()
{
    if (polling_)
        return;

    // An idle line is checked for a hang-up every so many polls: an
    // unplugged adapter shows no data, only the hang-up.
    constexpr unsigned kIdlePollsPerLineCheck = 40;
    std::size_t got = 0;
    std::string lineError;
    {
        std::shared_lock lock(deviceLock_);
        if (!device_)
            return;
        serial::QueueCounts counts;
        const bool countsKnown = device_->queueCounts(counts).ok();
        if (countsKnown && counts.input == 0) {
            if (++idlePolls_ < kIdlePollsPerLineCheck)
                return;
            idlePolls_ = 0;
            if (serial::SerialError err = device_->checkLine(); err.failed())
                lineError = err.text();
        } else if (serial::SerialError err = device_->read(receiveBuffer_.data(), receiveBuffer_.size(), got);
                   err.failed()) {
            // A failed read raises no data; a line that went away is told once.
            if (err.hungUp())
                lineError = err.text();
            got = 0;
        }
    }
    if (!lineError.empty()) {
        raiseLineError(lineError);
        return;
    }
    if (got == 0 || !onReceiveData_)
        return;

    // The lock is released: the handler may disconnect.
    struct Reentry {
        bool& flag;
        explicit Reentry(bool& f) : flag(f) { flag = true; }
        ~Reentry() { flag = false; }
    } reentry(polling_);
    onReceiveData_(this, receiveBuffer_.data(), static_cast<std::uint32_t>(got));
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
    std::lock_guard send(sendMutex_);

    std::uint32_t sent = 0;
    std::uint32_t lastProgress = GetTickCount();
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
