#include "ActivityLog.h"

#include "LogText.h"

#include <QThread>

#include <cstdlib>
#include <ctime>

ActivityLog::ActivityLog(QObject* parent) : QObject(parent), logFilePath_(DefaultLogFilePath()) {}

void ActivityLog::Log(const std::string& message)
{
    bool post = false;
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(message);
        if (QThread::currentThread() != thread() && !drainPosted_) {
            drainPosted_ = true;
            post = true;
        }
    }
    if (post)
        QMetaObject::invokeMethod(this, &ActivityLog::drain, Qt::QueuedConnection);
    else if (QThread::currentThread() == thread())
        drain();
}

void ActivityLog::drain()
{
    for (;;) {
        std::string message;
        {
            std::lock_guard lock(queueMutex_);
            if (queue_.empty()) {
                drainPosted_ = false;
                return;
            }
            message = std::move(queue_.front());
            queue_.pop_front();
        }
        append(message);
    }
}

void ActivityLog::append(const std::string& message)
{
    if (lines_.size() >= kMemoCapacity)
        Clear();
    // The memo (and standard output fed from it) shows the line cut to a
    // bound, so its memory stays bounded, and with control characters
    // escaped; the file writer gets the message and does the same.
    const std::string text = logtext::LogLine(message);
    const QString line = stampNow() + QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    lines_.append(line);
    emit lineAdded(line);
    if (logToFile_ && fileWriter_)
        fileWriter_(message, logFilePath_);
}

const QString& ActivityLog::stampNow()
{
    // Formatting a local time is costly and busy ports log hundreds of lines
    // a second: format once per second.
    const std::time_t now = std::time(nullptr);
    if (now != stampSecond_) {
        stampSecond_ = now;
        std::tm local{};
        localtime_r(&now, &local);
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &local);
        stamp_ = QString::fromLatin1(buf);
    }
    return stamp_;
}

void ActivityLog::SetLogToFile(bool on) { logToFile_ = on; }

void ActivityLog::Clear()
{
    lines_.clear();
    emit cleared();
}

std::string ActivityLog::DefaultLogFilePath()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state)
        return std::string(state) + "/linvaro/Linvaro.log";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/state/linvaro/Linvaro.log";
}
