// The serial device on a pseudo-terminal: a line that went away is an error,
// an empty line is not; a device that another program holds (UUCP lock file,
// descriptor lock) is refused. (Settings and rates are covered through the
// port driver.)
#include "PtyPair.h"
#include "SerialDevice.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <cstdio>

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

// The UUCP lock file and the descriptor lock, as other serial programs hold
// them. Needs a writable /run/lock, as every Debian system has.
class DeviceLockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::access(kLockFolder, W_OK) != 0)
            GTEST_SKIP() << kLockFolder << " is not writable here";
        lockFile_ = std::string(kLockFolder) + "/" + LockFileName(pty_.slavePath());
        ::unlink(lockFile_.c_str());
    }
    void TearDown() override
    {
        if (!lockFile_.empty())
            ::unlink(lockFile_.c_str());
    }
    static void WriteLock(const std::string& file, pid_t pid)
    {
        std::FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "%10d\n", static_cast<int>(pid));
        std::fclose(f);
    }
    static std::string Read(const std::string& file)
    {
        std::string text;
        if (std::FILE* f = std::fopen(file.c_str(), "r")) {
            char buffer[64];
            text.assign(buffer, std::fread(buffer, 1, sizeof buffer, f));
            std::fclose(f);
        }
        return text;
    }
    // A child process that lives until killed; with hold, it has opened the
    // device and holds its descriptor lock before this returns.
    pid_t Child(bool hold)
    {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (hold) {
                const int fd = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY);
                if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
                    ::_exit(1);
            }
            [[maybe_unused]] auto n = ::write(ready[1], "r", 1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char c;
        EXPECT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        return pid;
    }
    static void End(pid_t pid)
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }

    PtyPair pty_;
    std::string lockFile_;
};

TEST(DeviceLockName, DevicePathsBelowDevKeepTheirFoldersWithUnderscores)
{
    EXPECT_EQ(LockFileName("/dev/ttyS0"), "LCK..ttyS0");
    EXPECT_EQ(LockFileName("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(LockFileName("/dev/serial/by-id/usb-x"), "LCK..serial_by-id_usb-x");
    EXPECT_EQ(LockFileName("/tmp/ttyFake"), "LCK..ttyFake");
}

TEST_F(DeviceLockTest, ALockFileOfALiveProcessRefusesTheDeviceAndAStaleOneIsTakenOver)
{
    const pid_t owner = Child(false);
    WriteLock(lockFile_, owner);
    SerialDevice dev;
    SerialError e = dev.open(pty_.slavePath());
    EXPECT_EQ(e.code(), EBUSY) << e.text();
    EXPECT_NE(e.text().find("locked by process " + std::to_string(owner)), std::string::npos) << e.text();
    EXPECT_FALSE(dev.isOpen());
    EXPECT_EQ(Read(lockFile_).substr(0, 10), std::to_string(owner).insert(0, 10 - std::to_string(owner).size(), ' '))
        << "another program's lock is left alone";

    End(owner); // now the lock is stale
    e = dev.open(pty_.slavePath());
    ASSERT_TRUE(e.ok()) << e.text();
    char mine[16];
    std::snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(::getpid()));
    EXPECT_EQ(Read(lockFile_), mine);

    // A second opener in this process (another port on the same device).
    SerialDevice second;
    EXPECT_EQ(second.open(pty_.slavePath()).code(), EBUSY);
    EXPECT_EQ(Read(lockFile_), mine) << "a refused open must not take the owner's lock away";

    dev.close();
    EXPECT_NE(::access(lockFile_.c_str(), F_OK), 0) << "close leaves its lock file behind";
}

TEST_F(DeviceLockTest, ADeviceAnotherProcessHoldsLockedIsRefusedAndALinkNameSharesTheLock)
{
    const pid_t holder = Child(true);
    SerialDevice dev;
    EXPECT_EQ(dev.open(pty_.slavePath()).code(), EBUSY);
    EXPECT_NE(::access(lockFile_.c_str(), F_OK), 0) << "a refused open leaves no lock file";
    End(holder);

    // Opened through a symbolic link, the device's own lock is taken.
    const std::string link = "/tmp/linvaro-lock-test-" + std::to_string(::getpid());
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(pty_.slavePath().c_str(), link.c_str()), 0);
    ASSERT_TRUE(dev.open(link).ok());
    EXPECT_EQ(::access(lockFile_.c_str(), F_OK), 0);
    SerialDevice other;
    EXPECT_EQ(other.open(pty_.slavePath()).code(), EBUSY);
    dev.close();
    ::unlink(link.c_str());
}
