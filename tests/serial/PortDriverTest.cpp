// TCommPortDriver on pseudo-terminals: property rules, what the line gets,
// failed opens, receive batches, sends with time-out and sends from several
// threads. Every test ends with as many descriptors open as it began with.
#include "CPDrv.h"
#include "PtyPair.h"
#include "SerialDevice.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <grp.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Runs the event loop until the condition holds or the time is up.
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds within = 5s)
{
    QTimer tick; // keeps WaitForMoreEvents from sleeping past the deadline
    tick.start(5);
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

class PortDriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fdsBefore_ = OpenDescriptorCount();
        drv_ = std::make_unique<TCommPortDriver>();
        drv_->SetPortName(pty_.slavePath());
        drv_->SetPollingDelay(0);
        drv_->SetOnReceiveData([this](TCommPortDriver* sender, const char* data, std::uint32_t size) {
            EXPECT_EQ(sender, drv_.get());
            received_.emplace_back(data, size);
        });
    }
    void TearDown() override
    {
        drv_.reset();
        EXPECT_EQ(OpenDescriptorCount(), fdsBefore_) << "descriptor leaked";
    }

    PtyPair pty_;
    std::unique_ptr<TCommPortDriver> drv_;
    std::vector<std::string> received_;
    int fdsBefore_ = 0;
};

} // namespace

TEST(PortDriverProperties, ClampsAndCoupledProperties)
{
    TCommPortDriver d;
    d.SetPollingDelay(0);
    EXPECT_EQ(d.PollingDelay(), 5);
    d.SetInBufSize(100000);
    EXPECT_EQ(d.InBufSize(), 8192u);
    d.SetInBufSize(10);
    EXPECT_EQ(d.InBufSize(), 128u);
    d.SetOutBufSize(9000);
    EXPECT_EQ(d.OutBufSize(), 8192u);

    d.SetPort(pnCOM12);
    EXPECT_EQ(d.PortName(), "\\\\.\\COM12");
    d.SetPort(pnCustom);
    EXPECT_EQ(d.PortName(), "\\\\.\\COM12");
    d.SetPort(pnCOM3);
    d.SetPortName("\\\\.\\COM250");
    EXPECT_EQ(d.Port(), pnCustom);
    EXPECT_EQ(d.PortName(), "\\\\.\\COM250");

    d.SetBaudRate(br128000);
    EXPECT_EQ(d.BaudRateValue(), 128000u);
    d.SetBaudRateValue(14400);
    EXPECT_EQ(d.BaudRate(), brCustom);
    d.SetBaudRate(brCustom);
    EXPECT_EQ(d.BaudRateValue(), 14400u);
}

TEST(PortDriverProperties, ComNamesGoThroughTheResolver)
{
    TCommPortDriver::SetDeviceNameResolver([](const std::string& com) {
        return com == "COM5" ? std::string("/dev/ttyUSB1") : std::string();
    });
    EXPECT_EQ(TCommPortDriver::DevicePathFor("\\\\.\\COM5"), "/dev/ttyUSB1");
    EXPECT_EQ(TCommPortDriver::DevicePathFor("\\\\.\\COM6"), "/dev/ttyS5");
    TCommPortDriver::SetDeviceNameResolver(nullptr);
    EXPECT_EQ(TCommPortDriver::DevicePathFor("\\\\.\\COM5"), "/dev/ttyS4");
}

// A pseudo-terminal forces CS8 and no PARENB, so these cases check what it
// keeps: PARODD, CMSPAR, CSTOPB, CRTSCTS, IXON/IXOFF, raw mode and the rate.
TEST_F(PortDriverTest, ConnectGivesTheLineItsSettings)
{
    struct Case {
        TParity parity;
        TStopBits stop;
        THwFlowControl hw;
        TSwFlowControl sw;
        std::uint32_t baud;
        tcflag_t cflag; // of PARODD | CMSPAR | CSTOPB | CRTSCTS
        tcflag_t iflag; // of IXON | IXOFF
    };
    const Case cases[] = {
        {ptNONE, sb1BITS, hfNONERTSON, sfNONE, 9600, 0, 0},
        {ptODD, sb2BITS, hfNONE, sfXONXOFF, 128000, PARODD | CSTOPB, IXON | IXOFF},
        {ptMARK, sb1HALFBITS, hfRTSCTS, sfNONE, 256000, PARODD | CMSPAR | CSTOPB | CRTSCTS, 0},
        {ptSPACE, sb1BITS, hfNONE, sfNONE, 115200, CMSPAR, 0},
        {ptEVEN, sb1BITS, hfNONE, sfNONE, 19200, 0, 0},
    };
    const termios original = pty_.slaveSettings();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        drv_->SetDataBits(db7BITS);
        drv_->SetParity(c.parity);
        drv_->SetStopBits(c.stop);
        drv_->SetHwFlow(c.hw);
        drv_->SetSwFlow(c.sw);
        drv_->SetBaudRateValue(c.baud);
        ASSERT_TRUE(drv_->Connect()) << drv_->LastError();
        const termios t = pty_.slaveSettings();
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS), c.cflag);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflag);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        std::uint32_t in = 0, out = 0;
        ASSERT_TRUE(serial::LineRates(pty_.master(), in, out).ok());
        EXPECT_EQ(out, c.baud);
        drv_->Disconnect();
        const termios restored = pty_.slaveSettings();
        EXPECT_EQ(restored.c_lflag, original.c_lflag);
        EXPECT_EQ(restored.c_iflag, original.c_iflag);
        EXPECT_EQ(restored.c_oflag, original.c_oflag);
        EXPECT_EQ(restored.c_cflag, original.c_cflag);
    }
}

TEST_F(PortDriverTest, LineSettersApplyWhileOpenPortNameAndBuffersDoNot)
{
    ASSERT_TRUE(drv_->Connect());
    drv_->SetParity(ptMARK);
    EXPECT_EQ(pty_.slaveSettings().c_cflag & (PARODD | CMSPAR), tcflag_t(PARODD | CMSPAR));
    drv_->SetSwFlow(sfXONXOFF);
    EXPECT_EQ(pty_.slaveSettings().c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    drv_->SetBaudRate(br56000);
    std::uint32_t in = 0, out = 0;
    ASSERT_TRUE(serial::LineRates(pty_.master(), in, out).ok());
    EXPECT_EQ(out, 56000u);

    drv_->SetPortName("/dev/null");
    drv_->SetPort(pnCOM1);
    drv_->SetInBufSize(128);
    drv_->SetOutBufSize(128);
    EXPECT_EQ(drv_->PortName(), pty_.slavePath());
    EXPECT_EQ(drv_->Port(), pnCustom);
    EXPECT_EQ(drv_->InBufSize(), 2048u);
    EXPECT_EQ(drv_->OutBufSize(), 2048u);
    EXPECT_TRUE(drv_->Connect()); // already open
}

TEST_F(PortDriverTest, FailedConnectsLeaveThePortClosed)
{
    const std::string file = ::testing::TempDir() + "not-a-tty";
    std::ofstream(file) << "x";
    TCommPortDriver holder;
    holder.SetPortName(pty_.slavePath());
    ASSERT_TRUE(holder.Connect());

    for (const std::string& path : {std::string("/dev/no-such-serial-port"), file, pty_.slavePath()}) {
        drv_->SetPortName(path);
        EXPECT_FALSE(drv_->Connect()) << path;
        EXPECT_FALSE(drv_->Connected());
        EXPECT_FALSE(drv_->LastError().empty());
    }
    holder.Disconnect();
    EXPECT_TRUE(drv_->Connect()) << drv_->LastError();
    EXPECT_TRUE(drv_->LastError().empty());
    std::remove(file.c_str());
}

namespace {

// The error text of a failed open, seen by a user who may not open the
// device: root runs it in a child that drops to nobody.
std::string OpenErrorWithoutPermission(const std::string& device)
{
    if (::geteuid() != 0) {
        ::chmod(device.c_str(), 0);
        TCommPortDriver drv;
        drv.SetPortName(device);
        const bool opened = drv.Connect();
        ::chmod(device.c_str(), 0600);
        return opened ? std::string("opened") : drv.LastError();
    }
    int out[2];
    if (::pipe(out) != 0)
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        std::string text = "could not drop to nobody";
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
            TCommPortDriver drv;
            drv.SetPortName(device);
            text = drv.Connect() ? "opened" : drv.LastError();
        }
        [[maybe_unused]] auto n = ::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    return text;
}

} // namespace

TEST_F(PortDriverTest, OpenRefusedForPermissionsNamesTheDialoutGroup)
{
    ASSERT_EQ(::chmod(pty_.slavePath().c_str(), 0600), 0);
    const std::string refused = OpenErrorWithoutPermission(pty_.slavePath());
    EXPECT_NE(refused.find("(errno " + std::to_string(EACCES) + ")"), std::string::npos) << refused;
    EXPECT_NE(refused.find("group dialout"), std::string::npos) << refused;

    drv_->SetPortName("/dev/no-such-serial-port");
    EXPECT_FALSE(drv_->Connect());
    EXPECT_EQ(drv_->LastError().find("dialout"), std::string::npos) << "only a refusal names the group";
}

TEST_F(PortDriverTest, ClosedDriverRefusesEverything)
{
    EXPECT_EQ(drv_->SendData("abc", 3), 0u);
    EXPECT_FALSE(drv_->SendString("abc"));
    EXPECT_EQ(drv_->OutFreeSpace(), -1);
    EXPECT_FALSE(drv_->FlushBuffers(true, true));
    EXPECT_EQ(drv_->GetLineStatus(), 0u);
}

TEST_F(PortDriverTest, ReceivedBytesArriveInBatches)
{
    ASSERT_TRUE(drv_->Connect());
    ASSERT_TRUE(pty_.write("AB"));
    ASSERT_TRUE(WaitUntil([&] { return received_.size() == 1; }));
    ASSERT_TRUE(pty_.write("C\rDE"));
    ASSERT_TRUE(WaitUntil([&] { return received_.size() == 2; }));
    ASSERT_TRUE(pty_.write(std::string("A\0B\0", 4)));
    ASSERT_TRUE(WaitUntil([&] { return received_.size() == 3; }));
    EXPECT_EQ(received_, (std::vector<std::string>{"AB", "C\rDE", std::string("A\0B\0", 4)}));
}

TEST_F(PortDriverTest, BytesBetweenTwoPollsComeAsOneBatch)
{
    drv_->SetPollingDelay(300);
    // A second descriptor of the port's line shows its input queue: the
    // kernel hands a master's writes to the line asynchronously.
    const int observer = ::open(pty_.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(observer, 0);
    ASSERT_TRUE(drv_->Connect());
    // No event is processed between these writes, so no poll can split them.
    ASSERT_TRUE(pty_.write("one "));
    ASSERT_TRUE(pty_.write("two "));
    ASSERT_TRUE(pty_.write("three"));
    int queued = 0;
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         queued < 13 && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(1ms))
        ASSERT_EQ(::ioctl(observer, FIONREAD, &queued), 0);
    ::close(observer);
    ASSERT_EQ(queued, 13);
    ASSERT_TRUE(WaitUntil([&] { return !received_.empty(); }));
    EXPECT_EQ(received_, std::vector<std::string>{"one two three"});
}

TEST_F(PortDriverTest, ALongSendGoesOutInPiecesWhileTheFarEndReads)
{
    drv_->SetOutBufSize(8192);
    ASSERT_TRUE(drv_->Connect());
    std::string data(20000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 26);
    auto far = std::async(std::launch::async, [&] { return pty_.read(data.size(), 20s); });
    EXPECT_EQ(drv_->SendData(data.data(), static_cast<std::uint32_t>(data.size())), data.size());
    EXPECT_EQ(far.get(), data);
}

TEST_F(PortDriverTest, ASendWithoutProgressTimesOutShort)
{
    drv_->SetOutputTimeout(200);
    ASSERT_TRUE(drv_->Connect());
    const std::string data(100000, 'x'); // far more than a pseudo-terminal buffers
    const std::uint32_t sent = drv_->SendData(data.data(), static_cast<std::uint32_t>(data.size()));
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, data.size());
    EXPECT_FALSE(drv_->SendString("more"));
    EXPECT_EQ(pty_.read(sent).size(), sent);
    EXPECT_EQ(pty_.pending(), 0);
}

TEST_F(PortDriverTest, CheckLineStatusStopsASendWithoutModemLines)
{
    ASSERT_TRUE(drv_->Connect());
    ASSERT_EQ(drv_->GetLineStatus(), 0u); // a pseudo-terminal has none
    drv_->SetCheckLineStatus(true);
    EXPECT_EQ(drv_->SendData("abc", 3), 0u);
    drv_->SetCheckLineStatus(false);
    EXPECT_EQ(drv_->SendData("abc", 3), 3u);
}

TEST_F(PortDriverTest, ConcurrentSendsAreNeverInterleaved)
{
    drv_->SetOutBufSize(128); // every string takes several writes
    ASSERT_TRUE(drv_->Connect());
    constexpr int kPerThread = 200;
    std::vector<std::string> strings[2];
    std::size_t total = 0;
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            const char mark = static_cast<char>('a' + t);
            strings[t].push_back("<" + std::string(1, mark) + std::to_string(i) + ":"
                                 + std::string(100 + (i * 37) % 400, mark) + ">");
            total += strings[t].back().size();
        }
    }
    auto far = std::async(std::launch::async, [&] { return pty_.read(total, 30s); });
    auto sender = [&](int t) {
        int ok = 0;
        for (const std::string& s : strings[t])
            ok += drv_->SendString(s) ? 1 : 0;
        return ok;
    };
    auto first = std::async(std::launch::async, sender, 0);
    auto second = std::async(std::launch::async, sender, 1);
    EXPECT_EQ(first.get(), kPerThread);
    EXPECT_EQ(second.get(), kPerThread);

    const std::string seen = far.get();
    ASSERT_EQ(seen.size(), total);
    std::size_t next[2] = {0, 0};
    for (std::size_t pos = 0; pos < seen.size();) {
        int t = 0;
        for (; t < 2; ++t) {
            if (next[t] < strings[t].size() && seen.compare(pos, strings[t][next[t]].size(), strings[t][next[t]]) == 0)
                break;
        }
        ASSERT_LT(t, 2) << "a string was cut at offset " << pos;
        pos += strings[t][next[t]++].size();
    }
}

TEST_F(PortDriverTest, DisconnectEndsABlockedSendPromptly)
{
    ASSERT_TRUE(drv_->Connect());
    const std::string data(1 << 20, 'x');
    constexpr std::uint32_t kLongTimeout = 60000;
    auto send = std::async(std::launch::async,
                           [&] { return drv_->SendDataEx(data.data(), static_cast<std::uint32_t>(data.size()), kLongTimeout); });
    ASSERT_TRUE(WaitUntil([&] { return pty_.pending() >= 1024; })); // the send is under way, nobody reads

    // Queries and purges do not wait for the send.
    EXPECT_EQ(drv_->OutFreeSpace(), static_cast<std::int16_t>(drv_->OutBufSize()));
    EXPECT_TRUE(drv_->FlushBuffers(true, false));
    EXPECT_EQ(send.wait_for(0s), std::future_status::timeout);

    const auto start = std::chrono::steady_clock::now();
    drv_->Disconnect();
    // The sending thread still has to return from its call after Disconnect
    // took the line from it; what matters is that it does so long before its
    // own time-out.
    EXPECT_EQ(send.wait_for(std::chrono::milliseconds(kLongTimeout / 4)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kLongTimeout / 4));
    EXPECT_LT(send.get(), data.size());
    EXPECT_FALSE(drv_->Connected());
}

TEST_F(PortDriverTest, AHandlerMayDisconnectAndANestedLoopDoesNotPollAgain)
{
    int events = 0;
    drv_->SetOnReceiveData([&](TCommPortDriver* sender, const char*, std::uint32_t) {
        if (++events > 1)
            return;
        // A message box would run a loop here while more bytes come in; no
        // poll may run inside this event (it reuses the buffer), not even on
        // a timer restarted here.
        sender->SetPollingDelay(5);
        EXPECT_TRUE(pty_.write("y"));
        EXPECT_FALSE(WaitUntil([&] { return events > 1; }, 200ms));
        sender->Disconnect();
    });
    ASSERT_TRUE(drv_->Connect());
    ASSERT_TRUE(pty_.write("x"));
    ASSERT_TRUE(WaitUntil([&] { return !drv_->Connected(); }));
    EXPECT_EQ(events, 1);
}

TEST_F(PortDriverTest, AnIdlePortReadsAtOnceAndABusyOneEveryPollingDelay)
{
    // A long delay: bytes after a quiet spell must not wait for it.
    drv_->SetPollingDelay(2000);
    ASSERT_TRUE(drv_->Connect());
    ASSERT_FALSE(WaitUntil([&] { return !received_.empty(); }, 100ms));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pty_.write("first"));
    ASSERT_TRUE(WaitUntil([&] { return received_.size() == 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms) << "an idle port waited for its polling delay";

    // Bytes that follow at once are batched for the next read, one delay on.
    ASSERT_TRUE(pty_.write("second "));
    ASSERT_TRUE(pty_.write("third"));
    ASSERT_TRUE(WaitUntil([&] { return received_.size() == 2; }, 10s));
    EXPECT_EQ(received_[1], "second third");

    // Quiet again after a read that found nothing: read at once again.
    drv_->SetPollingDelay(5);
    ASSERT_FALSE(WaitUntil([&] { return received_.size() > 2; }, 2500ms));
    const auto again = std::chrono::steady_clock::now();
    ASSERT_TRUE(pty_.write("fourth"));
    ASSERT_TRUE(WaitUntil([&] { return received_.size() == 3; }));
    EXPECT_LT(std::chrono::steady_clock::now() - again, 1000ms);
}

TEST_F(PortDriverTest, ManyIdlePortsAreWatchedAndAHangUpIsSeenWithoutData)
{
    std::vector<std::unique_ptr<PtyPair>> ptys;
    std::vector<std::unique_ptr<TCommPortDriver>> drivers;
    std::vector<std::string> lineErrors(40);
    std::vector<int> got(40, 0);
    for (int i = 0; i < 40; ++i) {
        ptys.push_back(std::make_unique<PtyPair>());
        drivers.push_back(std::make_unique<TCommPortDriver>());
        drivers.back()->SetPortName(ptys.back()->slavePath());
        drivers.back()->SetOnReceiveData([&got, i](TCommPortDriver*, const char*, std::uint32_t n) { got[i] += int(n); });
        drivers.back()->SetOnLineError([&lineErrors, i](TCommPortDriver*, const std::string& e) { lineErrors[i] = e; });
        ASSERT_TRUE(drivers.back()->Connect());
    }
    for (int i = 0; i < 40; i += 3)
        ASSERT_TRUE(ptys[i]->write("abc"));
    ASSERT_TRUE(WaitUntil([&] {
        for (int i = 0; i < 40; i += 3)
            if (got[i] != 3)
                return false;
        return true;
    }));
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(got[i], i % 3 == 0 ? 3 : 0) << "port " << i;

    ptys[7]->closeMaster(); // unplugged: no byte, only the hang-up
    ASSERT_TRUE(WaitUntil([&] { return !lineErrors[7].empty(); }));
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(lineErrors[i].empty(), i != 7) << "port " << i;
    drivers.clear();
}

TEST_F(PortDriverTest, ASendWaitsAtMostItsTimeOutInAllBehindAnotherSend)
{
    ASSERT_TRUE(drv_->Connect());
    const std::string data(1 << 20, 'x');
    auto first = std::async(std::launch::async,
                            [&] { return drv_->SendDataEx(data.data(), static_cast<std::uint32_t>(data.size()), 60000); });
    ASSERT_TRUE(WaitUntil([&] { return pty_.pending() >= 1024; })); // under way; nobody reads

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(drv_->SendDataEx("abc", 3, 300), 0u);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 5000ms) << "the send waited for the other one";

    drv_->Disconnect();
    EXPECT_LT(first.get(), data.size());
}
