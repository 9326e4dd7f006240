#pragma once
// GetStatus round trips to the real linvaro from a bus connection of their
// own, in a thread of their own, every `everyMs`, with their times: the
// longest round trip while something happened tells how long linvaro's
// main thread was held (the probe's own bus hop included).
#include "LinvaroProcess.h"

#include <QDBusMessage>
#include <QDBusObjectPath>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

class StatusProbe {
public:
    using Clock = std::chrono::steady_clock;
    explicit StatusProbe(int everyMs) : everyMs_(everyMs) {}
    ~StatusProbe() { Stop(); }
    void Start()
    {
        thread_ = std::thread([this] { run(); });
    }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // The longest round trip of a call that overlapped [from, to].
    double MaxMs(Clock::time_point from, Clock::time_point to)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        double worst = 0;
        for (const auto& [begin, end] : trips_)
            if (end >= from && begin <= to)
                worst = std::max(worst, std::chrono::duration<double, std::milli>(end - begin).count());
        return worst;
    }
    double MaxMs() { return MaxMs(Clock::time_point::min(), Clock::time_point::max()); }
    int Calls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(trips_.size());
    }
    int Failures() const { return failures_; }

private:
    void run()
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("probe"));
        QDBusMessage create = QDBusMessage::createMethodCall(QString::fromLatin1(kServiceName), QStringLiteral("/"),
                                                             QStringLiteral("opc.IClassFactory"),
                                                             QStringLiteral("CreateInstance"));
        create << QStringLiteral("{39C13A4D-011E-11D0-9675-0020AFD8ADB3}");
        const QDBusMessage created = bus.call(create, QDBus::Block, 30000);
        if (created.type() != QDBusMessage::ReplyMessage || created.arguments().size() < 2) {
            ++failures_;
            return;
        }
        const QString path = created.arguments().at(1).value<QDBusObjectPath>().path();
        QDBusMessage status = QDBusMessage::createMethodCall(QString::fromLatin1(kServiceName), path,
                                                             QStringLiteral("opc.IOPCServer"),
                                                             QStringLiteral("GetStatus"));
        while (!stop_) {
            const auto begin = Clock::now();
            const QDBusMessage reply = bus.call(status, QDBus::Block, 60000);
            const auto end = Clock::now();
            if (reply.type() != QDBusMessage::ReplyMessage)
                ++failures_;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                trips_.emplace_back(begin, end);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(everyMs_));
        }
        QDBusMessage release = QDBusMessage::createMethodCall(QString::fromLatin1(kServiceName), path,
                                                              QStringLiteral("opc.IUnknown"), QStringLiteral("Release"));
        bus.call(release, QDBus::Block, 5000);
    }

    int everyMs_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> failures_{0};
    std::mutex mutex_;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> trips_;
};

} // namespace bench
