#pragma once
// Single instance per program file. The instance is named after the program
// file's full path ("APPLICATION-" + path, upper-cased); the running copy
// listens on a local socket derived from that name, so a second copy that
// reaches it knows it must not start, and a text it sends there (the copy-data
// message) reaches the running copy: "Exit" closes it.
#include <QLocalServer>
#include <QObject>

#include <string>

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // "APPLICATION-" + path with every backslash replaced by "_", upper-cased.
    static std::string MutexName(const std::string& programPath);
    // The local socket name for a mutex name (per user, no path characters).
    static QString SocketName(const std::string& mutexName);

    // True when this process now owns the instance of programPath; false when
    // another copy of the same program file runs.
    bool Acquire(const std::string& programPath);
    bool Owns() const { return server_.isListening(); }

    // Sends text to the running copy of programPath; false when none runs or
    // it did not take the text within timeoutMs.
    static bool SendText(const std::string& programPath, const std::string& text, int timeoutMs = 3000);

signals:
    // A text sent by another process, as it came (the receiver cuts it).
    void textReceived(const std::string& text);

private:
    void acceptConnection();
    QLocalServer server_;
};
