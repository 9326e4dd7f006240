// When the OPC server pulse runs: early pulses come only while scanning runs,
// one armed at a time, and not for a group further off than a period.
#include "PulseTimer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

TEST(PulseTimer, EarlyPulsesComeOnlyWhileScanningAndWithinAPeriod)
{
    PulseTimer timer;
    int early = 0;
    QObject::connect(&timer, &PulseTimer::earlyPulse, [&] { ++early; });

    timer.RequestEarly(0);
    EXPECT_FALSE(timer.EarlyArmed()) << "scanning is stopped";

    timer.start();
    timer.RequestEarly(PulseTimer::kPeriodMs + 5);
    EXPECT_FALSE(timer.EarlyArmed()) << "a regular pulse comes first";
    timer.RequestEarly(0);
    ASSERT_TRUE(timer.EarlyArmed());
    timer.RequestEarly(3); // later than the one armed: no second one
    QElapsedTimer waited;
    waited.start();
    while (early == 0 && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(early, 1);
    EXPECT_FALSE(timer.EarlyArmed());
    waited.restart();
    while (waited.elapsed() < 30)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    EXPECT_EQ(early, 1) << "one pulse for both requests";

    timer.RequestEarly(0);
    timer.stop();
    EXPECT_FALSE(timer.EarlyArmed()) << "stopping disarms it";
    EXPECT_FALSE(timer.isActive());
}
