#include "PulseTimer.h"

PulseTimer::PulseTimer()
{
    regular_.setInterval(kPeriodMs);
    connect(&regular_, &QTimer::timeout, this, &PulseTimer::pulse);
    early_.setSingleShot(true);
    early_.setTimerType(Qt::PreciseTimer);
    connect(&early_, &QTimer::timeout, this, [this] {
        if (regular_.isActive())
            emit earlyPulse();
    });
}

void PulseTimer::start() { regular_.start(); }

void PulseTimer::stop()
{
    regular_.stop();
    early_.stop();
}

void PulseTimer::RequestEarly(std::int64_t ms)
{
    if (!regular_.isActive())
        return;
    // The pulse clock counts whole milliseconds: a group due in ms is surely
    // due once the next one began.
    const std::int64_t delay = ms > 0 ? ms + 1 : 0;
    if (delay > kPeriodMs)
        return; // further off: served by a regular pulse at most a period late, as before
    const int regular = regular_.remainingTime();
    if (regular >= delay && regular <= delay + 1)
        return; // the regular pulse comes just in time
    if (early_.isActive() && early_.remainingTime() <= delay)
        return;
    early_.start(static_cast<int>(delay));
}
