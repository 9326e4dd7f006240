#pragma once
// The activity log: one operation, Log(message), for the whole program. Each
// message becomes one memo line "yyyy-mm-dd hh:nn:ss " + message, and, while
// logging to file is on, one call of the file writer (AddLog) with the message
// alone. A memo that already holds 1000 lines is emptied before the next line.
// A message longer than 8 KB is cut with a mark, and control characters are
// escaped (\r, \n, \xNN), in the memo and in every output fed from it, so
// the memo holds at most about 1000 x 32 KB and no text forges a line. The
// file writer (AddLogEx) gets the message itself and applies the same rule.
//
// Threads: Log may be called from any thread. The memo and the file are
// changed on the thread that owns this object (the main thread) only; calls
// from other threads are queued to it, and lines reach the memo and the file
// in the order of the calls.
#include <QObject>
#include <QString>
#include <QStringList>

#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class ActivityLog : public QObject {
    Q_OBJECT
public:
    static constexpr int kMemoCapacity = 1000;
    using FileWriter = std::function<void(const std::string& message, const std::string& path)>;

    explicit ActivityLog(QObject* parent = nullptr);

    void Log(const std::string& message);

    // The log-to-file flag, as the last settings load left it.
    void SetLogToFile(bool on);
    bool LogToFile() const { return logToFile_; }
    void SetLogFilePath(const std::string& path) { logFilePath_ = path; }
    const std::string& LogFilePath() const { return logFilePath_; }
    void SetFileWriter(FileWriter writer) { fileWriter_ = std::move(writer); }

    // The memo (main thread).
    const QStringList& Lines() const { return lines_; }
    void Clear();
    // Delivers lines queued by other threads now (main thread).
    void Flush() { drain(); }

    // The per-user log file: $XDG_STATE_HOME/linvaro/Linvaro.log, by default
    // ~/.local/state/linvaro/Linvaro.log.
    static std::string DefaultLogFilePath();

signals:
    void lineAdded(const QString& line);
    void cleared();

private:
    void drain();
    void append(const std::string& message);
    const QString& stampNow();

    std::mutex queueMutex_;
    std::deque<std::string> queue_;
    bool drainPosted_ = false;

    QStringList lines_;
    std::time_t stampSecond_ = 0;
    QString stamp_;
    bool logToFile_ = false;
    std::string logFilePath_;
    FileWriter fileWriter_;
};
