#include "CommObj.h"

#include "CommObjList.h"
#include "Globals.h"
#include "LinkHost.h"
#include "PortText.h"
#include "TickCount.h"
#include "opcDAHeader.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

constexpr int kMsgError = 1;
constexpr int kBtnOk = 4;
constexpr char kStopped[] = "Scanning of all ports has been stopped.";
// A device that never sends the terminating character must not make the
// pending text grow for months: past this size it is handed on as a string.
constexpr std::size_t kMaxPendingText = 1 << 20;

const char kHexDigits[] = "0123456789ABCDEF";
// The send loop's pass: the sent flag tag is read this often, and an
// auto-send interval below it sends once a pass.
constexpr std::chrono::milliseconds kPass{10};
// After a handshake send, the client gets this long to see the flag cleared.
constexpr std::chrono::milliseconds kAfterHandshake{100};
// A logged text is cut here: a megabyte written by a client is no log line.
constexpr std::size_t kLoggedTextMax = 200;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// A port's bytes as the activity log shows them: text by the port text rule,
// cut when long.
std::string LoggedBytes(std::string_view bytes)
{
    if (bytes.size() <= kLoggedTextMax)
        return Utf8FromPortBytes(bytes);
    return Utf8FromPortBytes(bytes.substr(0, kLoggedTextMax)) + "... (" + std::to_string(bytes.size()) + " bytes)";
}

// The bytes a tag value stands for: its text by the port text rule.
std::string ValueBytes(const VARIANT& v)
{
    if (v.vt == VT_BSTR)
        return PortBytesFromBstr(v.bstrVal);
    Variant copy;
    VariantCopy(copy.get(), &v);
    return PortBytesFromUtf8(copy.text());
}

// The value as the text a message shows: booleans as True/False.
std::string ValueText(const VARIANT& v)
{
    if (v.vt == VT_BOOL)
        return v.boolVal ? "True" : "False";
    Variant copy;
    VariantCopy(copy.get(), &v);
    return copy.text();
}

} // namespace

std::string_view TrimControls(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return s.substr(b, e - b);
}

std::string HexText(std::string_view s)
{
    std::string out(s.size() * 2, '0');
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        out[2 * i] = kHexDigits[c >> 4];
        out[2 * i + 1] = kHexDigits[c & 15];
    }
    return out;
}

bool EqualsOneAsNumber(const VARIANT& v)
{
    Variant number;
    if (FAILED(VariantChangeTypeEx(number.get(), &v, LOCALE_USER_DEFAULT, 0, VT_R8)))
        return false;
    return number.get()->dblVal == 1.0;
}

bool FlagIsSet(const VARIANT& v)
{
    Variant number;
    if (FAILED(VariantChangeTypeEx(number.get(), &v, LOCALE_USER_DEFAULT, 0, VT_I4)))
        return true;
    return (number.get()->lVal & 2) != 0;
}

TCommObj::TCommObj(TCommObjList& list, LinkHost& host, LinkMode mode, TTagTable* tags, RemoteTagLibrary* remote)
    : list_(list), host_(host), mode_(mode), tags_(tags), remote_(remote),
      driver_(std::make_unique<TCommPortDriver>()), worker_(std::make_unique<TBMDThread>())
{
    TCommPortDriver& d = *driver_;
    d.SetPort(pnCustom);
    d.SetBaudRate(brCustom);
    d.SetBaudRateValue(9600);
    d.SetCheckLineStatus(false);
    d.SetDataBits(db8BITS);
    d.SetEnableDTROnOpen(true);
    d.SetHwFlow(hfNONERTSON);
    d.SetInBufSize(8192);
    d.SetOutBufSize(8192);
    d.SetInputTimeout(200);
    d.SetOutputTimeout(500);
    d.SetPacketMode(pmDiscard);
    d.SetPacketSize(-1);
    d.SetPacketTimeout(-1);
    d.SetParity(ptNONE);
    d.SetPollingDelay(0);
    d.SetStopBits(sb1BITS);
    d.SetSwFlow(sfNONE);
    d.SetOnReceiveData([this](TCommPortDriver*, const char* data, std::uint32_t size) { ReceiveData(data, size); });

    d.SetOnLineError([this](TCommPortDriver*, const std::string& error) { deviceLost(error); });
    reopenTimer_.setInterval(kReopenIntervalMs);
    QObject::connect(&reopenTimer_, &QTimer::timeout, [this] { tryReopen(); });

    worker_->SetPriority(tpHigher);
    worker_->SetRefreshInterval(1);
    worker_->SetOnExecute([this](TBMDThread*, TBMDExecuteThread* thread, void*&) { sendLoop(thread); });
    // A start (or a client write) that came while the previous thread was
    // still ending could not start a new one: it starts now.
    worker_->SetOnTerminate([this](TBMDThread*, TBMDExecuteThread*, void*&) { ensureWorker(); });
}

TCommObj::~TCommObj()
{
    running_ = false;
    reopenTimer_.stop();
    worker_.reset(); // stops the send loop and waits for its thread
    driver_.reset(); // closes the port
}

void TCommObj::Configure(const TPortSetting& s, const LinkConfig& config)
{
    description_ = s[psDESCRIPTION];
    port_ = s[psPORT];
    driver_->SetPortName("\\\\.\\" + s[psPORT]);
    if (auto baud = ParseDecimal(s[psBAUD_RATE]); baud && *baud > 0)
        driver_->SetBaudRateValue(static_cast<std::uint32_t>(*baud));
    SetDataBits(s[psDATA_BITS]);
    SetParity(s[psPARITY]);
    SetStopBits(s[psSTOP_BITS]);
    SetFlowControl(s[psFLOW_CONTROL]);
    receivedStringTag_ = s[psRECEIVED_STRING_TAG];
    receivedFlagTag_ = s[psRECEIVED_FLAG_TAG];
    sentStringTag_ = s[psSENT_STRING_TAG];
    sentFlagTag_ = s[psSENT_FLAG_TAG];
    driver_->SetInputTimeout(config.portResponseTimeout);
    // The output time-out is a 16-bit field: clamp rather than let 70000 ms
    // wrap to 4464 ms.
    driver_->SetOutputTimeout(static_cast<std::uint16_t>(std::min<std::uint32_t>(config.portResponseTimeout, 65535)));
    terminatingChar_ = ParseDecimal(s[psNULL_TERMINATED]).value_or(-1);
    extractionMarker_ = s[psFROM_SUBSTRING];
    convertHex_ = s.convertHex();
    autoSendString_ = s[psAUTO_SEND_STRING];
    autoSendBytes_ = PortBytesFromUtf8(autoSendString_);
    autoSendInterval_ = ParseDecimal(s[psAUTO_SEND_INTERVAL]).value_or(100);
    logged_ = s.logged();
    autoSuffix_ = s[psAUTO_SUFFIX];
    logFilePath_ = PortLogFilePath(config.programFolder, s[psPORT]);
}

void TCommObj::SetDataBits(std::string_view text)
{
    static constexpr TDataBits values[] = {db5BITS, db6BITS, db7BITS, db8BITS};
    for (std::size_t i = 0; i < kDataBitsTexts.size(); ++i)
        if (text == kDataBitsTexts[i])
            return driver_->SetDataBits(values[i]);
    host_.ShowMsg("Invalid Data Bits setting!", kMsgError, kBtnOk);
}

void TCommObj::SetParity(std::string_view text)
{
    static constexpr TParity values[] = {ptEVEN, ptODD, ptNONE, ptMARK, ptSPACE};
    for (std::size_t i = 0; i < kParityTexts.size(); ++i)
        if (text == kParityTexts[i])
            return driver_->SetParity(values[i]);
    host_.ShowMsg("Invalid Parity setting!", kMsgError, kBtnOk);
}

void TCommObj::SetStopBits(std::string_view text)
{
    static constexpr TStopBits values[] = {sb1BITS, sb1HALFBITS, sb2BITS};
    for (std::size_t i = 0; i < kStopBitsTexts.size(); ++i)
        if (text == kStopBitsTexts[i])
            return driver_->SetStopBits(values[i]);
    host_.ShowMsg("Invalid Stop Bits setting!", kMsgError, kBtnOk);
}

void TCommObj::SetFlowControl(std::string_view text)
{
    static constexpr TSwFlowControl values[] = {sfNONE, sfXONXOFF};
    for (std::size_t i = 0; i < kFlowControlTexts.size(); ++i)
        if (text == kFlowControlTexts[i])
            return driver_->SetSwFlow(values[i]);
    host_.ShowMsg("Invalid Software Flow Control setting!", kMsgError, kBtnOk);
}

void TCommObj::BindTag(const std::string& tagName, int tagIndex)
{
    tagName_ = tagName;
    tagIndex_ = tagIndex;
}

bool TCommObj::Start()
{
    if (!driver_->Connect())
        return false;
    receiveArmed_ = false;
    pendingText_.clear();
    run_ = list_.Run();
    running_ = true;
    ensureWorker();
    list_.NotifyPortStateChanged(linkIndex_);
    return true;
}

void TCommObj::Stop()
{
    worker_->Stop();
    running_ = false;
    std::size_t dropped = 0;
    {
        std::lock_guard lock(queueMutex_);
        dropped = queue_.size();
        queue_.clear();
        queuedBytes_ = 0;
    }
    if (dropped > 0) {
        errors_ += static_cast<std::uint32_t>(dropped);
        host_.Log(std::to_string(dropped) + (dropped == 1 ? " string" : " strings") + " written by clients to port " +
                  Quoted(description_) + " could not be sent: the port was stopped.");
    }
    reopenTimer_.stop();
    if (deviceLost_) {
        deviceLost_ = false;
        showTagValueAgain();
    }
    driver_->Disconnect();
    list_.NotifyPortStateChanged(linkIndex_);
}

// An unplugged adapter is the most common fault in the field: the link keeps
// its settings and its worker, tells it once, and reopens the same device
// path as soon as it is back. Other ports are not touched.
void TCommObj::deviceLost(const std::string& error)
{
    if (!running_ || deviceLost_)
        return;
    deviceLost_ = true;
    ++errors_;
    driver_->Disconnect();
    host_.Log("Port " + Quoted(description_) + " lost its device (" + error + "); waiting for it to come back.");
    host_.ShowTagValue(linkIndex_, kDeviceLostText);
    reopenTimer_.start();
    list_.NotifyPortStateChanged(linkIndex_);
}

void TCommObj::showTagValueAgain()
{
    // Remote mode keeps no local tag: its cell is shown empty.
    std::string text;
    if (tags_ && tagIndex_ >= 0 && static_cast<std::size_t>(tagIndex_) < tags_->ValueCount())
        text = tags_->Value(static_cast<std::size_t>(tagIndex_)).textValue;
    host_.ShowTagValue(linkIndex_, text);
}

void TCommObj::tryReopen()
{
    if (!running_ || !deviceLost_) {
        reopenTimer_.stop();
        return;
    }
    if (!driver_->Connect())
        return;
    deviceLost_ = false;
    reopenTimer_.stop();
    receiveArmed_ = false;
    pendingText_.clear();
    host_.Log("Port " + Quoted(description_) + " is back on its device.");
    showTagValueAgain();
    list_.NotifyPortStateChanged(linkIndex_);
}

void TCommObj::ReceiveData(const char* data, std::uint32_t size)
{
    if (!running_)
        return;
    if (mode_ == LinkMode::Remote && !remoteGate())
        return;

    std::string chunk;
    std::string hex;
    try {
        chunk.assign(data, size);
        if (chunk.empty())
            return;
        bytesReceived_ += size;
        hex.resize(chunk.size() * 3);
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            const auto c = static_cast<unsigned char>(chunk[i]);
            hex[3 * i] = kHexDigits[c >> 4];
            hex[3 * i + 1] = kHexDigits[c & 15];
            hex[3 * i + 2] = ' ';
        }

        if (mode_ == LinkMode::Local) {
            std::string working = std::move(pendingText_);
            pendingText_.clear();
            bool terminatorSeen = false;
            if (terminatingChar_ >= 0 && terminatingChar_ <= 255) {
                const char term = static_cast<char>(terminatingChar_);
                std::size_t start = 0;
                for (;;) {
                    const void* hit = std::memchr(chunk.data() + start, term, chunk.size() - start);
                    if (!hit)
                        break;
                    const std::size_t pos = static_cast<const char*>(hit) - chunk.data();
                    working.append(chunk, start, pos - start + 1);
                    terminatorSeen = true;
                    processString(std::string(TrimControls(working)));
                    working.clear();
                    start = pos + 1;
                }
                working.append(chunk, start, std::string::npos);
            } else {
                working.append(chunk);
            }
            if (!terminatorSeen && terminatingChar_ == -1) {
                processString(std::string(TrimControls(working)));
            } else if (working.size() > kMaxPendingText) {
                processString(std::string(TrimControls(working)));
            } else {
                pendingText_ = std::move(working);
            }
        }

        host_.Log("String (HEX: " + hex + ") received from port " + Quoted(description_) + ".");
        if (logged_)
            host_.LogPortData(logFilePath_, false, chunk);
    } catch (...) {
        reportFailure("Error while receiving string from port " + Quoted(description_) + "! " + kStopped,
                      "Error while receiving string from port " + Quoted(description_) + "!\r" + kStopped, false);
        return;
    }

    if (mode_ == LinkMode::Remote) {
        try {
            remoteDelivery(chunk, hex);
        } catch (...) {
            const std::string text = "Error while accessing Tags " + Quoted(receivedStringTag_) + " or " +
                                     Quoted(receivedFlagTag_) + " for port " + Quoted(description_) + "! " +
                                     kStopped;
            reportFailure(text, text, true);
        }
    }
}

void TCommObj::processString(std::string text)
{
    if (!extractionMarker_.empty()) {
        const std::size_t pos = text.find(extractionMarker_);
        if (pos == std::string::npos)
            return;
        text.erase(0, pos);
    }
    if (convertHex_)
        text = HexText(text);
    if (!tags_ || tagIndex_ < 0 || !tags_->SetText(static_cast<std::size_t>(tagIndex_), text))
        throw std::out_of_range("link has no tag");
    noteStringReceived();
    host_.ShowTagValue(linkIndex_, text);
}

void TCommObj::noteStringReceived()
{
    ++stringsReceived_;
    lastReceivedMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
}

LinkCounters TCommObj::Counters() const
{
    LinkCounters c;
    c.stringsReceived = stringsReceived_.load();
    c.bytesReceived = bytesReceived_.load();
    c.bytesSent = bytesSent_.load();
    c.errors = errors_.load();
    c.lastReceivedMs = lastReceivedMs_.load();
    return c;
}

std::uint32_t TCommObj::writeOut(std::string_view out)
{
    const auto count =
        static_cast<std::uint32_t>(std::min<std::size_t>(out.size(), std::numeric_limits<std::uint32_t>::max()));
    const std::uint32_t sent = driver_->SendData(out.data(), count);
    bytesSent_ += sent;
    if (logged_ && sent > 0)
        host_.LogPortData(logFilePath_, true, out.substr(0, sent));
    return sent;
}

bool TCommObj::Send(std::string_view bytes)
{
    std::string out(bytes);
    out += autoSuffix_;
    const bool all = writeOut(out) == out.size();
    if (!all)
        ++errors_;
    sendFailed_ = !all;
    return all;
}

bool TCommObj::SendFromTagValue(const VARIANT& value) { return Send(ValueBytes(value)); }

void TCommObj::QueueClientWrite(const std::string& bytes)
{
    if (!running_) {
        // Nothing can go out of a stopped port.
        ++errors_;
        sendFailed_ = true;
        return;
    }
    QueuedWrite write{bytes + autoSuffix_, bytes.size()};
    bool queued = false;
    std::size_t waiting = 0;
    {
        std::lock_guard lock(queueMutex_);
        waiting = queuedBytes_;
        // One write of any size is taken when nothing waits; a port that takes
        // no data does not make the queue grow without end.
        if (queuedBytes_ == 0 || queuedBytes_ + write.bytes.size() <= kMaxQueuedBytes) {
            queuedBytes_ += write.bytes.size();
            queue_.push_back(std::move(write));
            queued = true;
        }
    }
    if (!queued) {
        ++errors_;
        sendFailed_ = true;
        host_.Log("String " + Quoted(LoggedBytes(bytes)) + " written by a client to port " + Quoted(description_) +
                  " was not sent: " + std::to_string(waiting) + " bytes are still waiting for the port.");
        return;
    }
    ensureWorker();
}

std::size_t TCommObj::QueuedWrites() const
{
    std::lock_guard lock(queueMutex_);
    return queue_.size();
}

bool TCommObj::periodicDuty() const
{
    return !autoSendBytes_.empty() || (mode_ == LinkMode::Remote && !sentFlagTag_.empty());
}

void TCommObj::ensureWorker()
{
    if (!running_ || (!periodicDuty() && QueuedWrites() == 0))
        return;
    if (worker_->Running())
        worker_->Wake(); // a thread still ending ignores it; its end starts the next
    else
        worker_->Start();
}

void TCommObj::sendClientWrite(const QueuedWrite& write, TBMDExecuteThread* thread)
{
    const std::uint32_t sent = writeOut(write.bytes);
    const bool all = sent == write.bytes.size();
    sendFailed_ = !all;
    if (all)
        return;
    ++errors_;
    // A stop cut it short: the stop is what the log tells.
    if (thread->StopRequested())
        return;
    const std::string why = driver_->Connected() ? "within the Port Response Timeout" : "while the port was closed";
    list_.LogFromWorker("String " + Quoted(LoggedBytes(std::string_view(write.bytes).substr(0, write.textSize))) +
                        " written by a client to port " + Quoted(description_) + " could not be sent " + why + " (" +
                        std::to_string(sent) + " of " + std::to_string(write.bytes.size()) + " bytes went out).");
}

void TCommObj::sendLoop(TBMDExecuteThread* thread)
{
    const Clock::time_point start = Clock::now();
    const bool autoSend = !autoSendBytes_.empty();
    const auto interval = std::chrono::milliseconds(std::max(autoSendInterval_, 0));
    const bool handshake = mode_ == LinkMode::Remote && !sentFlagTag_.empty();
    // The first auto-send comes one interval after the start.
    Clock::time_point nextAutoSend = start + interval;
    Clock::time_point nextHandshake = start;
    Clock::time_point lastWork = start;
    while (!thread->StopRequested()) {
        // Client writes first, in the order they came.
        for (;;) {
            QueuedWrite write;
            {
                std::lock_guard lock(queueMutex_);
                if (queue_.empty() || thread->StopRequested())
                    break;
                write = std::move(queue_.front());
                queue_.pop_front();
                queuedBytes_ -= write.bytes.size();
            }
            sendClientWrite(write, thread);
            lastWork = Clock::now();
        }
        if (thread->StopRequested())
            break;

        if (autoSend && Clock::now() >= nextAutoSend) {
            const Clock::time_point sentAt = Clock::now();
            Send(autoSendBytes_);
            nextAutoSend = sentAt + std::max(interval, kPass);
        }
        if (handshake && Clock::now() >= nextHandshake)
            nextHandshake = sentFlagHandshake(thread);

        Clock::time_point wake = Clock::time_point::max();
        if (autoSend)
            wake = std::min(wake, nextAutoSend);
        if (handshake)
            wake = std::min(wake, nextHandshake);
        if (!autoSend && !handshake) {
            // Only client writes: a worker idle this long ends (the next
            // write starts a new one).
            const Clock::time_point idleEnd = lastWork + std::chrono::milliseconds(kIdleWorkerMs);
            if (Clock::now() >= idleEnd) {
                std::lock_guard lock(queueMutex_);
                if (queue_.empty())
                    return;
                continue;
            }
            wake = idleEnd;
        }
        thread->WaitForWork(wake);
    }
}

TCommObj::Clock::time_point TCommObj::sentFlagHandshake(TBMDExecuteThread* thread)
{
    const Clock::time_point next = Clock::now() + kPass;
    Variant flag = Variant::fromUI1(0);
    if (!TagRead(sentFlagTag_, flag.get()) || !EqualsOneAsNumber(*flag.get()))
        return next;
    Variant text = Variant::fromText("");
    if (!TagRead(sentStringTag_, text.get()))
        return next;
    // Told to stop meanwhile: nothing is sent and the request stays pending
    // for the next start.
    if (thread->StopRequested())
        return next;
    sendFailed_ = false;
    if (SendFromTagValue(*text.get())) {
        TagWrite(sentFlagTag_, Variant::fromBool(false).get());
        return Clock::now() + kAfterHandshake + kPass;
    }
    // A stop that cut the send short is no failure of the port; the request
    // stays pending.
    if (thread->StopRequested())
        return next;
    const std::string value = ValueText(*text.get());
    thread->Stop();
    list_.ReportWorkerFailure(run_.load(),
                              "Error while sending string " + Quoted(value) + " to port " + Quoted(description_) +
                                  "! Try to increase the Port Response Timeout if necessary. " + kStopped,
                              "Error while sending string " + Quoted(value) + " to port " + Quoted(description_) +
                                  "!\rTry to adjust the Port Response Timeout if necessary.\r" + kStopped,
                              false);
    return next;
}

bool TCommObj::TagRead(const std::string& tagName, VARIANT* value)
{
    if (mode_ == LinkMode::Local)
        return true;
    if (remote_ && remote_->ReadTag(tagName, value))
        return true;
    reportFailure("Error while reading tag " + Quoted(tagName) + "! " + kStopped,
                  "Error while reading tag " + Quoted(tagName) + "!\r" + kStopped, true);
    return false;
}

bool TCommObj::TagWrite(const std::string& tagName, const VARIANT* value)
{
    if (mode_ == LinkMode::Local)
        return true;
    if (remote_ && remote_->WriteTag(tagName, value))
        return true;
    const std::string text = ValueText(*value);
    reportFailure("Error while writing tag " + Quoted(tagName) + " with value " + Quoted(text) + "! " + kStopped,
                  "Error while writing tag " + Quoted(tagName) + " with value " + Quoted(text) + "!\r" + kStopped,
                  true);
    return false;
}

bool TCommObj::ElementWrite(const std::string& tagName, std::string_view bytes)
{
    bool result = true;
    const std::size_t count = std::min<std::size_t>(bytes.size(), 256);
    for (std::size_t i = 0; i < count; ++i) {
        Variant element = Variant::fromUI1(static_cast<BYTE>(bytes[i]));
        result = TagWrite(tagName + "[" + std::to_string(i + 1) + "]", element.get());
        // The failed write has stopped all links and reported; going on would
        // only repeat that report for every remaining character.
        if (!result)
            break;
    }
    return result;
}

bool TCommObj::remoteGate()
{
    Variant flag = Variant::fromUI1(2);
    if (!TagRead(receivedFlagTag_, flag.get())) {
        receiveArmed_ = false;
        return false;
    }
    noteUnreadableFlag(*flag.get());
    if (FlagIsSet(*flag.get())) {
        receiveArmed_ = false;
        return false;
    }
    if (!receiveArmed_) {
        driver_->FlushBuffers(true, false);
        receiveArmed_ = true;
        return false;
    }
    return true;
}

void TCommObj::noteUnreadableFlag(const VARIANT& flag)
{
    Variant number;
    if (SUCCEEDED(VariantChangeTypeEx(number.get(), &flag, LOCALE_USER_DEFAULT, 0, VT_I4))) {
        unreadableFlag_.clear();
        return;
    }
    const std::string text = ValueText(flag);
    if (text == unreadableFlag_)
        return;
    unreadableFlag_ = text;
    host_.Log("Received flag tag " + Quoted(receivedFlagTag_) + " holds " + Quoted(text) +
              ", which is not a number; received strings of port " + Quoted(description_) + " are held back.");
}

void TCommObj::remoteDelivery(std::string_view bytes, const std::string& hex)
{
    Variant flag = Variant::fromUI1(2);
    if (!TagRead(receivedFlagTag_, flag.get()) || FlagIsSet(*flag.get()))
        return;
    if (!ElementWrite(receivedStringTag_, bytes))
        return;
    if (!TagWrite(receivedFlagTag_, Variant::fromUI1(2).get()))
        return;
    Sleep(200);
    receiveArmed_ = false;
    driver_->FlushBuffers(true, false);
    noteStringReceived();
    host_.Log("Written string (HEX: " + hex + ") to Tag " + Quoted(receivedStringTag_) + ".");
}

void TCommObj::reportFailure(const std::string& logLine, const std::string& boxText, bool processMessages)
{
    ++errors_;
    // On the worker: stop this thread itself (one report per failure: the
    // loop ends after its pass). Never through worker_, which the main thread
    // may be destroying while it waits for this very thread.
    if (TBMDExecuteThread* thread = TBMDExecuteThread::Current()) {
        // A worker already told to stop belongs to a run that has ended.
        if (thread->StopRequested())
            return;
        thread->Stop();
        list_.ReportWorkerFailure(run_.load(), logLine, boxText, processMessages);
        return;
    }
    list_.ReportFailure(logLine, boxText, processMessages);
}
