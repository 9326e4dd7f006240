// The serial device on a pseudo-terminal: a line that went away is an error,
// an empty line is not. (Opening, settings and rates are covered through the
// port driver.)
#include "PtyPair.h"
#include "SerialDevice.h"

#include <gtest/gtest.h>

using namespace serial;

namespace {

DCB Dcb8N1(std::uint32_t baud)
{
    DCB d;
    d.BaudRate = baud;
    d.Flags = DcbFlags::fBinary | DcbFlags::DTR_CONTROL_ENABLE | DcbFlags::RTS_CONTROL_ENABLE;
    d.ByteSize = 8;
    return d;
}

} // namespace

TEST(SerialDevice, HangUpIsAnErrorAndNoDataIsNot)
{
    PtyPair pty;
    SerialDevice dev;
    ASSERT_TRUE(dev.open(pty.slavePath()).ok());
    ASSERT_TRUE(dev.applyDcb(Dcb8N1(9600)).ok());
    char buffer[16];
    std::size_t got = 99;
    SerialError e = dev.read(buffer, sizeof buffer, got);
    EXPECT_TRUE(e.ok()) << e.text();
    EXPECT_EQ(got, 0u);

    pty.closeMaster();
    e = dev.read(buffer, sizeof buffer, got);
    EXPECT_TRUE(e.hungUp()) << e.text();
    EXPECT_EQ(got, 0u);
    std::size_t sent = 99;
    EXPECT_TRUE(dev.write("x", 1, sent).failed());
    EXPECT_EQ(sent, 0u);
}
