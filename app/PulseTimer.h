#pragma once
// PulseTimer: when the OPC server pulse runs. A regular pulse every 10 ms
// while scanning runs, and early pulses in between, asked for when a stored
// value waits for a group whose update is due in some milliseconds: without
// them such a value waits for the next regular pulse, and when that comes a
// millisecond before the group's time, for a whole period more.
//
// One early pulse is armed at a time, the soonest asked for. Threads: the
// thread that owns it (the main thread).
#include <QObject>
#include <QTimer>

#include <cstdint>

class PulseTimer : public QObject {
    Q_OBJECT
public:
    static constexpr int kPeriodMs = 10;

    PulseTimer();

    void start();
    void stop();
    bool isActive() const { return regular_.isActive(); }
    // A value waits for a group whose update is due in ms (0: now).
    void RequestEarly(std::int64_t ms);
    // Whether an early pulse is armed (for tests).
    bool EarlyArmed() const { return early_.isActive(); }

signals:
    void pulse();
    void earlyPulse();

private:
    QTimer regular_;
    QTimer early_;
};
