#pragma once
// Single instance per program file. The instance is named after the program
// file's full path ("APPLICATION-" + path, upper-cased), hashed into the
// file names "linvaro-<hash>.lock" and "linvaro-<hash>.sock" in this user's
// runtime folders (UserFolders.h), which depend on the user alone, not on
// TMPDIR or other variables, so every environment of the user finds them.
//
// The instance is held by an exclusive lock (flock) on the lock file in
// every runtime folder, taken in a fixed order: taking it is atomic, so of
// two copies started at the same instant exactly one gets it, and the
// system drops it with the process however that ends. The holder listens
// on the socket beside its first lock; a text another process sends there
// (the copy-data message) reaches the running copy: "Exit" closes it.
#include <QLocalServer>
#include <QObject>

#include <string>
#include <vector>

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // "APPLICATION-" + path with every backslash replaced by "_", upper-cased.
    static std::string MutexName(const std::string& programPath);
    // The base of the lock and socket file names for a mutex name (no path
    // characters).
    static QString SocketName(const std::string& mutexName);

    // True when this process now owns the instance of programPath; false when
    // another copy of the same program file holds it, or when it cannot be
    // checked (Error() then says why; empty when another copy runs).
    bool Acquire(const std::string& programPath);
    bool Owns() const { return !locks_.empty(); }
    const std::string& Error() const { return error_; }

    // Sends text to the running copy of programPath; false when none runs or
    // it did not take the text within timeoutMs.
    static bool SendText(const std::string& programPath, const std::string& text, int timeoutMs = 3000);

signals:
    // A text sent by another process, as it came (the receiver cuts it).
    void textReceived(const std::string& text);

private:
    void acceptConnection();
    void release();
    QLocalServer server_;
    std::vector<int> locks_;
    std::string error_;
};
