#pragma once
// The remote tag library's own thread. Every read and write, from whichever
// thread it comes (the program's main thread and each link's worker), is
// handed to this thread, which alone talks to the remote server; the caller
// waits for the answer at most kCallerWaitMs and then gives up with false. A
// request whose caller has given up is not carried out when its turn comes,
// so a late write never lands after the caller reported it failed.
//
// The thread starts with Init and ends before the application object goes
// (a post routine of QCoreApplication), releasing the server first.
#include "Variant.h"

#include <QObject>
#include <QThread>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class RemoteSession;

class RemoteTagAgent {
public:
    // Callers wait this long; single D-Bus calls time out after kCallTimeoutMs.
    static constexpr int kCallerWaitMs = 5000;
    static constexpr int kCallTimeoutMs = 2000;

    static RemoteTagAgent& Instance();

    // Starts the thread (first call) and sets the server's ProgID. Without a
    // QCoreApplication there is no event loop to run calls: nothing starts.
    void Init(const std::string& progId);
    bool Read(const std::string& tag, VARIANT* value);
    bool Write(const std::string& tag, const VARIANT* value);
    // Ends the thread; later calls fail at once.
    void Shutdown();

private:
    struct Request;
    bool submit(const std::shared_ptr<Request>& request);
    // Runs work on the thread in the order queued. A D-Bus call waits for
    // its reply in a local event loop, which would start the next piece of
    // work inside the current one; the queue keeps them one after another.
    void queue(std::function<void()> work);
    void drain();

    std::mutex mutex_; // guards thread_ and worker_ against Shutdown
    QThread* thread_ = nullptr;
    QObject* worker_ = nullptr; // lives in thread_
    std::deque<std::function<void()>> work_; // guarded by mutex_
    bool draining_ = false;                  // thread_ only
    std::unique_ptr<RemoteSession> session_; // thread_ only
};
