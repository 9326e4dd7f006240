// The pure side of the serial layer: DCB -> termios, bit rates, modem lines
// and device names.
#include "LineSettings.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <map>
#include <tuple>

using namespace serial;

namespace {

DCB MakeDcb(std::uint8_t byteSize, std::uint8_t parity, std::uint8_t stopBits, std::uint32_t flags = DcbFlags::fBinary)
{
    DCB d;
    d.BaudRate = 9600;
    d.Flags = flags;
    d.ByteSize = byteSize;
    d.Parity = parity;
    d.StopBits = stopBits;
    d.XonChar = 17;
    d.XoffChar = 19;
    return d;
}

constexpr tcflag_t kSize[] = {CS5, CS6, CS7, CS8}; // for ByteSize 5..8
// PARENB, PARODD, CMSPAR for NOPARITY, ODD, EVEN, MARK, SPACE.
constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD, PARENB | CMSPAR};
constexpr tcflag_t kStop[] = {0, CSTOPB, CSTOPB}; // termios has no 1.5: CSTOPB

class Framing : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

} // namespace

TEST_P(Framing, EveryCombinationIsRawWithItsOwnBits)
{
    const auto [size, parity, stop] = GetParam();
    termios t{};
    ASSERT_TRUE(DcbToTermios(MakeDcb(static_cast<std::uint8_t>(5 + size), static_cast<std::uint8_t>(parity),
                                     static_cast<std::uint8_t>(stop)),
                             t));
    EXPECT_EQ(t.c_cflag & CSIZE, kSize[size]);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), kParity[parity]);
    EXPECT_EQ(t.c_cflag & CSTOPB, kStop[stop]);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK | IXON | IXOFF | IXANY | BRKINT | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B9600));
}

INSTANTIATE_TEST_SUITE_P(AllDataParityStop, Framing,
                         ::testing::Combine(::testing::Range(0, 4), ::testing::Range(0, 5), ::testing::Range(0, 3)));

TEST(LineSettings, FlowControlFlags)
{
    using namespace DcbFlags;
    struct Case {
        std::uint32_t flags;
        tcflag_t iflag; // of IXON | IXOFF
        tcflag_t cflag; // of CRTSCTS
        bool dtr, rts;
    };
    const Case cases[] = {
        {fBinary, 0, 0, false, false},
        {fBinary | DTR_CONTROL_ENABLE | RTS_CONTROL_ENABLE, 0, 0, true, true},
        {fBinary | DTR_CONTROL_ENABLE | fOutxCtsFlow | RTS_CONTROL_HANDSHAKE, 0, CRTSCTS, true, true},
        {fBinary | fOutX | fInX, IXON | IXOFF, 0, false, false},
        {fBinary | fOutX, IXON, 0, false, false},
        {fBinary | fInX | RTS_CONTROL_ENABLE, IXOFF, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        termios t{};
        ASSERT_TRUE(DcbToTermios(MakeDcb(8, NOPARITY, ONESTOPBIT, c.flags), t));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflag);
        EXPECT_EQ(t.c_cflag & CRTSCTS, c.cflag);
        EXPECT_EQ(t.c_cc[VSTART], 17);
        EXPECT_EQ(t.c_cc[VSTOP], 19);
        const ModemControl lines = ModemControlFor(MakeDcb(8, 0, 0, c.flags));
        EXPECT_EQ(lines.dtr, c.dtr);
        EXPECT_EQ(lines.rts, c.rts);
    }
}

TEST(LineSettings, OutOfRangeFieldsAreRefusedAndLeaveTheOutputAlone)
{
    DCB cases[] = {MakeDcb(4, 0, 0), MakeDcb(9, 0, 0), MakeDcb(8, 5, 0), MakeDcb(8, 0, 3), MakeDcb(8, 0, 0)};
    cases[4].BaudRate = 0; // would hang up the line
    for (const DCB& d : cases) {
        termios t{};
        t.c_cflag = 0x1234;
        EXPECT_FALSE(DcbToTermios(d, t));
        EXPECT_EQ(t.c_cflag, 0x1234u);
    }
}

TEST(LineSettings, BitRates)
{
    const std::map<std::uint32_t, speed_t> standard = {
        {110, B110}, {300, B300}, {9600, B9600}, {19200, B19200}, {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto& [rate, code] : standard) {
        const LineSpeed s = SpeedForBaud(rate);
        EXPECT_TRUE(s.standard) << rate;
        EXPECT_EQ(s.code, code) << rate;
    }
    for (std::uint32_t rate : {14400u, 56000u, 128000u, 256000u, 31250u}) {
        const LineSpeed s = SpeedForBaud(rate);
        EXPECT_FALSE(s.standard) << rate;
        EXPECT_EQ(s.rate, rate);
        // A plain tcsetattr of the translated settings must not hang up (B0).
        DCB d = MakeDcb(8, 0, 0);
        d.BaudRate = rate;
        termios t{};
        ASSERT_TRUE(DcbToTermios(d, t));
        EXPECT_EQ(cfgetospeed(&t), speed_t(B38400));
    }
}

TEST(DeviceNames, ComNamesMapOrFallBackOtherNamesPassThrough)
{
    const ComPortLookup ini = [](const std::string& key) {
        return key == "COM3" ? std::string("/dev/ttyUSB0") : std::string();
    };
    const struct {
        const char* name;
        const char* path;
    } cases[] = {
        {"\\\\.\\COM3", "/dev/ttyUSB0"}, {"COM3", "/dev/ttyUSB0"},   {"\\\\.\\com3", "/dev/ttyUSB0"},
        {"\\\\.\\COM1", "/dev/ttyS0"},   {"\\\\.\\COM12", "/dev/ttyS11"}, {"COM250", "/dev/ttyS249"},
        {"/dev/pts/7", "/dev/pts/7"},    {"\\\\.\\COM0", ""},  {"COM", ""},
        {"COM1x", ""},                   {"\\\\.\\COM03", ""},  {"COM500", "/dev/ttyS499"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResolveDevicePath(c.name, ini), c.path) << c.name;
    }
    EXPECT_EQ(ResolveDevicePath("\\\\.\\COM3", nullptr), "/dev/ttyS2");
}

// Names that are not a canonical COM1..COM500 and not an absolute path are
// refused naming the port; nothing is opened relative to the current folder.
TEST(DeviceNames, NonCanonicalNamesAndRelativePathsAreRefusedNamingThem)
{
    const ComPortMapping ini = [](const std::string& com) {
        if (com == "COM1")
            return DeviceMapping {DeviceMapping::Kind::Path, "ttyUSB0"};
        if (com == "COM2")
            return DeviceMapping {DeviceMapping::Kind::Refused, "COM2 is mapped to nothing"};
        return DeviceMapping {};
    };
    for (const char* name : {"COM0", "COM03", "COM501", "\\\\.\\COM0", "COM", "COM1x", "ttyUSB0", "./COM3", ""}) {
        const DeviceResolution r = ResolveDevice(name, ini);
        EXPECT_EQ(r.path, "") << name;
        EXPECT_NE(r.error.find("Invalid Port setting"), std::string::npos) << name << ": " << r.error;
        const std::string bare = std::string(name).substr(std::string(name).rfind('\\') == std::string::npos ? 0 : 4);
        EXPECT_NE(r.error.find('"' + bare + '"'), std::string::npos) << r.error;
    }
    EXPECT_EQ(ResolveDevice("COM1", ini).path, "");
    EXPECT_NE(ResolveDevice("COM1", ini).error.find("ttyUSB0"), std::string::npos);
    EXPECT_EQ(ResolveDevice("COM2", ini).error, "COM2 is mapped to nothing");
    EXPECT_EQ(ResolveDevice("COM3", ini).path, "/dev/ttyS2");
    EXPECT_EQ(ResolveDevice("/dev/ttyUSB0", ini).path, "/dev/ttyUSB0");
}
