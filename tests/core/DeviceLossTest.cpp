#include "LinkFixture.h"

#include <QTemporaryDir>

#include <cstdio>
#include <unistd.h>

namespace {

// A device path that stays the same while the device behind it comes and
// goes, as /dev/serial/by-id/... does for a USB adapter.
class DeviceLoss : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        ASSERT_TRUE(dir.isValid());
        link = dir.path().toStdString() + "/ttyUSB-scale";
        ASSERT_EQ(::symlink(ptys[0].slavePath().c_str(), link.c_str()), 0);
        TCommPortDriver::SetDeviceNameResolver([this](const std::string& com) -> std::string {
            if (com == "COM1")
                return link;
            if (com == "COM2")
                return ptys[1].slavePath();
            return {};
        });
    }
    void Unplug()
    {
        ptys[0].closeMaster();
        ::unlink(link.c_str());
    }
    void Replug(PtyPair& fresh) { ASSERT_EQ(::symlink(fresh.slavePath().c_str(), link.c_str()), 0); }
    int Count(const std::string& prefix) const
    {
        int n = 0;
        for (const auto& l : host.log)
            n += l.rfind(prefix, 0) == 0;
        return n;
    }
    QTemporaryDir dir;
    std::string link;
};

} // namespace

TEST_F(DeviceLoss, UnpluggedDeviceIsToldOnceAndReopenedWhenBack)
{
    Build({MakeSetting("Scale", "COM1"), MakeSetting("Reader", "COM2")});
    list->StartAll();
    ASSERT_TRUE(host.scanning);
    ptys[0].write("1.0\r");
    ASSERT_TRUE(WaitFor([&] { return TagValue(0) == "1.0"; }));

    Unplug();
    ASSERT_TRUE(WaitFor([&] { return Link(0).DeviceLost(); }));
    ServeEventsFor(300);
    EXPECT_EQ(Count("Port \"Scale\" lost its device"), 1) << "told once, not at every poll";
    EXPECT_EQ(host.shown[0], TCommObj::kDeviceLostText) << "the grid cell says the device is gone";
    EXPECT_EQ(TagValue(0), "1.0") << "clients keep the last value";
    EXPECT_TRUE(host.scanning) << "other ports are not stopped";
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_TRUE(Link(1).Running());
    ptys[1].write("R1\r");
    ASSERT_TRUE(WaitFor([&] { return TagValue(1) == "R1"; })) << "the other port goes on receiving";

    PtyPair fresh;
    Replug(fresh);
    ASSERT_TRUE(WaitFor([&] { return !Link(0).DeviceLost(); }, 5000));
    EXPECT_TRUE(host.LogContains("Port \"Scale\" is back on its device."));
    EXPECT_EQ(host.shown[0], "1.0") << "the cell shows the tag's value again";
    fresh.write("2.0\r");
    ASSERT_TRUE(WaitFor([&] { return TagValue(0) == "2.0"; }));
    EXPECT_EQ(Link(0).Driver().PortName(), "\\\\.\\COM1") << "settings are kept";
}

TEST_F(DeviceLoss, StopWhileWaitingForTheDeviceEndsTheWait)
{
    Build({MakeSetting("Scale", "COM1")});
    list->StartAll();
    Unplug();
    ASSERT_TRUE(WaitFor([&] { return Link(0).DeviceLost(); }));
    ASSERT_EQ(host.shown[0], TCommObj::kDeviceLostText);
    list->StopAll();
    EXPECT_FALSE(Link(0).DeviceLost());
    EXPECT_EQ(host.shown[0], "") << "a stopped link's cell does not keep the mark";
    PtyPair fresh;
    Replug(fresh);
    ServeEventsFor(1300);
    EXPECT_FALSE(Link(0).Driver().Connected()) << "a stopped link does not reopen";
    EXPECT_EQ(Count("Port \"Scale\" is back"), 0);
}
