#pragma once
// TCommPortDriver: owns one serial port. Opens it with the configured line
// settings, reads received bytes when the device has them and raises
// OnReceiveData with every batch, and writes data with a time-out.
//
// Receiving: an idle port costs nothing. The creating thread's event loop
// watches every open port of that thread through one descriptor (DeviceWatcher
// over serial::ReadySet); the first bytes after a quiet spell are read at once,
// and while bytes keep coming the port is read again every PollingDelay ms,
// so PollingDelay bounds the read latency and batches a busy line. A port
// found empty goes back to being watched.
//
// Threads: the driver is created, connected, disconnected and configured on
// one thread (the main thread for port links); reading and OnReceiveData run
// there too. Send calls may come from any thread at the same time; each send
// goes out whole before the next one starts.
#include "LineSettings.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace serial {
class SerialDevice;
}
class DeviceWatcher;

enum TPortNumber {
    pnCustom, pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8, pnCOM9,
    pnCOM10, pnCOM11, pnCOM12, pnCOM13, pnCOM14, pnCOM15, pnCOM16
};
enum TBaudRate {
    brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
    br56000, br57600, br115200, br128000, br256000
};
enum TDataBits { db5BITS, db6BITS, db7BITS, db8BITS };
enum TStopBits { sb1BITS, sb1HALFBITS, sb2BITS };
enum TParity { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum THwFlowControl { hfNONE, hfNONERTSON, hfRTSCTS };
enum TSwFlowControl { sfNONE, sfXONXOFF };
enum TPacketMode { pmDiscard, pmPass };

// Modem lines reported by GetLineStatus.
enum TLineStatus : unsigned { lsCTS = 1, lsDSR = 2, lsRING = 4, lsCD = 8 };

// Bit rate of a TBaudRate other than brCustom (0 for brCustom).
std::uint32_t BaudRateOf(TBaudRate rate);

class TCommPortDriver : public QObject {
    Q_OBJECT
public:
    using ReceiveDataHandler = std::function<void(TCommPortDriver* sender, const char* data, std::uint32_t size)>;

    explicit TCommPortDriver(QObject* owner = nullptr);
    ~TCommPortDriver() override; // closes the port first

    // Properties (defaults and rules as documented in docs/serial-driver.md).
    TPortNumber Port() const { return port_; }
    void SetPort(TPortNumber p);
    const std::string& PortName() const { return portName_; }
    void SetPortName(const std::string& name);
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate r);
    std::uint32_t BaudRateValue() const { return baudRateValue_; }
    void SetBaudRateValue(std::uint32_t v);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits v);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits v);
    TParity Parity() const { return parity_; }
    void SetParity(TParity v);
    THwFlowControl HwFlow() const { return hwFlow_; }
    void SetHwFlow(THwFlowControl v);
    TSwFlowControl SwFlow() const { return swFlow_; }
    void SetSwFlow(TSwFlowControl v);
    std::uint32_t InBufSize() const { return inBufSize_; }
    void SetInBufSize(std::uint32_t v);   // clamped to 128..8192; ignored while open
    std::uint32_t OutBufSize() const { return outBufSize_; }
    void SetOutBufSize(std::uint32_t v);  // clamped to 128..8192; ignored while open
    std::int16_t PacketSize() const { return packetSize_; }
    void SetPacketSize(std::int16_t v) { packetSize_ = v; }
    std::int32_t PacketTimeout() const { return packetTimeout_; }
    void SetPacketTimeout(std::int32_t v) { packetTimeout_ = v; }
    TPacketMode PacketMode() const { return packetMode_; }
    void SetPacketMode(TPacketMode v) { packetMode_ = v; }
    std::uint16_t PollingDelay() const { return pollingDelay_; }
    void SetPollingDelay(std::uint16_t ms); // below 5 becomes 5; the next read of a busy line waits the new delay
    bool EnableDTROnOpen() const { return enableDTROnOpen_; }
    void SetEnableDTROnOpen(bool v) { enableDTROnOpen_ = v; }
    // 16 bits, as the property always was: a time-out above 65535 ms cannot be
    // held. Callers clamp larger values themselves; a plain conversion would
    // wrap (70000 would become 4464).
    std::uint16_t OutputTimeout() const { return outputTimeout_.load(); }
    void SetOutputTimeout(std::uint16_t ms) { outputTimeout_ = ms; }
    std::uint32_t InputTimeout() const { return inputTimeout_; }
    void SetInputTimeout(std::uint32_t ms) { inputTimeout_ = ms; }
    bool CheckLineStatus() const { return checkLineStatus_.load(); }
    void SetCheckLineStatus(bool v) { checkLineStatus_ = v; }
    // Raised on the creating thread with each batch of received bytes. The
    // buffer is reused by the next poll: copy what you keep. The handler may
    // call Disconnect, but must not destroy the driver.
    void SetOnReceiveData(ReceiveDataHandler h) { onReceiveData_ = std::move(h); }
    // Raised once when the open line goes away (hang-up or I/O error on
    // receive): the device was unplugged. The port stays open until the
    // handler or the owner disconnects it; a new Connect arms it again.
    using LineErrorHandler = std::function<void(TCommPortDriver* sender, const std::string& error)>;
    void SetOnLineError(LineErrorHandler h) { onLineError_ = std::move(h); }

    // Where the program's "Serial Ports" settings map COMn to a device path:
    // called with "COMn", returns the path or "" when there is no mapping.
    // Without a resolver, or without a mapping, COMn is /dev/ttyS(n-1). Set
    // it before connecting ports.
    static void SetDeviceNameResolver(std::function<std::string(const std::string& comName)> resolver);
    // The same with the full answer of the settings: a COMn may also be
    // refused (mapped to nothing, or its settings file unreadable), and then
    // Connect opens nothing and fails with the mapping's reason.
    static void SetDeviceMapping(serial::ComPortMapping mapping);
    // The device path that Connect opens for a port name ("\\.\COM3",
    // "COM3" or a path such as /dev/ttyUSB0, which is used as it is); ""
    // when the name is refused (see serial::ResolveDevice).
    static std::string DevicePathFor(const std::string& portName);

    // Opens and sets up the port; true at once when it is already open.
    bool Connect();
    void Disconnect();
    bool Connected() const;
    // Discards pending input and/or output; false when closed.
    bool FlushBuffers(bool input, bool output);
    // OutBufSize minus the bytes waiting in the output queue; -1 when closed.
    std::int16_t OutFreeSpace() const;
    // Active modem lines (TLineStatus bits); 0 when closed or on failure.
    unsigned GetLineStatus() const;
    // Sends with OutputTimeout as the time-out; returns the bytes sent.
    std::uint32_t SendData(const char* data, std::uint32_t count);
    // Sends while progress is made; gives up when no byte went out for longer
    // than timeoutMs. The wait for another thread's send counts against the
    // first byte's time: a send that gets nothing out returns after at most
    // timeoutMs in all. Returns the bytes sent (0 when closed).
    std::uint32_t SendDataEx(const char* data, std::uint32_t count, std::uint32_t timeoutMs);
    // True when every byte of text was sent.
    bool SendString(std::string_view text);

    // Why the last Connect failed (system error text); empty after success.
    // Why the last Connect failed, naming the device path (or the port
    // name that could not be resolved to one).
    const std::string& LastError() const { return lastError_; }

private:
    friend class DeviceWatcher;
    // The watcher saw the idle device ready, or a busy line's next read is
    // due: read once, then wait PollingDelay (bytes came) or go back to
    // being watched (none came).
    void readyToRead();
    // Reads one batch and raises OnReceiveData; true when bytes came.
    bool readOnce();
    void reapplyLineSettings();
    std::int16_t outFreeSpaceLocked() const;
    unsigned lineStatusLocked() const;

    TPortNumber port_ = pnCOM2;
    std::string portName_ = "\\\\.\\COM2";
    TBaudRate baudRate_ = br9600;
    std::uint32_t baudRateValue_ = 9600;
    TDataBits dataBits_ = db8BITS;
    TStopBits stopBits_ = sb1BITS;
    TParity parity_ = ptNONE;
    THwFlowControl hwFlow_ = hfNONERTSON;
    TSwFlowControl swFlow_ = sfNONE;
    std::uint32_t inBufSize_ = 2048;
    std::atomic<std::uint32_t> outBufSize_{2048}; // read by senders
    std::int16_t packetSize_ = -1;
    std::int32_t packetTimeout_ = -1;
    TPacketMode packetMode_ = pmDiscard;
    std::uint16_t pollingDelay_ = 50;
    bool enableDTROnOpen_ = true;
    std::atomic<std::uint16_t> outputTimeout_{500};
    std::uint32_t inputTimeout_ = 200;
    std::atomic<bool> checkLineStatus_{false};
    ReceiveDataHandler onReceiveData_;
    LineErrorHandler onLineError_;
    bool lineErrorRaised_ = false;
    void raiseLineError(const std::string& error);

    std::vector<char> receiveBuffer_;
    DeviceWatcher* watcher_ = nullptr; // the creating thread's, while open
    std::uint64_t watchKey_ = 0;
    bool polling_ = false; // inside OnReceiveData: a nested event loop must not read again
    std::string lastError_;

    // Locks, always taken in this order:
    //  - the send turn (SendTurn over turnMutex_/turnFree_/turnTaken_) is
    //    held by a sender for its whole send, so one send goes out whole
    //    before the next starts; a sender waits for it only until its
    //    deadline. Disconnect raises closing_ (a running send gives up at its
    //    next step) and then takes the turn, so no send is ever cut across a
    //    close and a new connect.
    //  - deviceLock_ guards device_ itself: shared for every use of the open
    //    device (one step of a send, polling, purge, queue and line queries,
    //    line settings), exclusive only to install or remove it. Purge and the
    //    queries never wait for a running send's time-out.
    class SendTurn;
    std::mutex turnMutex_;
    std::condition_variable turnFree_;
    bool turnTaken_ = false; // guarded by turnMutex_
    mutable std::shared_mutex deviceLock_;
    std::unique_ptr<serial::SerialDevice> device_;
    std::atomic<bool> open_{false};
    std::atomic<bool> closing_{false};
};
