#pragma once
// Waits for a condition while serving the main thread's events, with a
// deadline instead of a fixed sleep.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeoutMs)
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Serves events for the given time (to show that something does NOT happen).
inline void ServeEventsFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}
