#pragma once
// TBMDThread: runs one handler on a background thread on request.
//
// Start creates a fresh thread that calls OnExecute once; Stop only asks it to
// finish (the handler polls StopRequested); the handler may have a method run
// on the main thread and wait for it (Synchronize). The thread reports its end
// to the component on the main thread, which then forgets it and calls
// OnTerminate; only from then on can a new Start create a new thread.
//
// Threads: the component lives on the main thread and its members change
// there only. Stop and StopRequested may be called from any thread.
// Destroying the component asks a running thread to stop and processes the
// main thread's events until the thread has ended, so a Synchronize call in
// flight is still served.
#include <QObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class TBMDThread;

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The background thread object handed to the handlers.
class TBMDExecuteThread {
public:
    // True once Stop was called on the component (or on this thread).
    bool StopRequested() const { return stopRequested_.load(); }
    // Has the main thread run method and waits until it returned. Skipped
    // (returns false at once, method not called) when stop was requested or
    // method is empty. Called on the background thread only; method must not
    // wait for this thread.
    bool Synchronize(const std::function<void()>& method);
    // Asks this thread to stop (same as the component's Stop).
    void Stop();
    // Sleeps until the deadline, a Wake or a stop request, whichever comes
    // first; a Wake made since the last return counts. Returns false when
    // stop was requested. Called on the background thread only.
    bool WaitForWork(std::chrono::steady_clock::time_point deadline);
    // Ends a WaitForWork early (now, or the next one). Any thread.
    void Wake();
    // The background thread object whose handler the calling thread runs;
    // nullptr on any other thread.
    static TBMDExecuteThread* Current();
    void*& Data() { return data_; }
    int Percent() const { return percent_; }
    void SetPercent(int p) { percent_ = p; }

private:
    friend class TBMDThread;
    explicit TBMDExecuteThread(TBMDThread* owner, void* data);
    void body();
    void waitWhileHeld();

    TBMDThread* owner_;
    void* data_;
    int percent_ = 0;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> finished_{false};
    // Held: the thread waits before running its handler (created suspended)
    // and at Synchronize / StopRequested-free points while suspended.
    std::mutex holdMutex_;
    std::condition_variable holdCv_;
    bool held_ = true;
    bool wakePending_ = false;
    bool redirected_ = false; // owner is being destroyed: do not report the end
    std::thread thread_;
};

class TBMDThread : public QObject {
    Q_OBJECT
public:
    using DataNotifyEvent = std::function<void(TBMDThread* sender, TBMDExecuteThread* thread, void*& data)>;
    using UpdateNotifyEvent =
        std::function<void(TBMDThread* sender, TBMDExecuteThread* thread, void*& data, int percent)>;

    explicit TBMDThread(QObject* owner = nullptr);
    ~TBMDThread() override;

    int RefreshInterval() const { return refreshInterval_; }
    void SetRefreshInterval(int ms);
    TThreadPriority Priority() const { return priority_; }
    void SetPriority(TThreadPriority p) { priority_ = p; }
    bool UpdateEnabled() const { return updateEnabled_; }
    void SetUpdateEnabled(bool on);
    void SetOnExecute(DataNotifyEvent h) { onExecute_ = std::move(h); }
    void SetOnStart(DataNotifyEvent h) { onStart_ = std::move(h); }
    void SetOnTerminate(DataNotifyEvent h) { onTerminate_ = std::move(h); }
    void SetOnUpdate(UpdateNotifyEvent h) { onUpdate_ = std::move(h); }

    // Creates and releases a new thread when none exists (none running and
    // none still ending); otherwise does nothing.
    void Start(void* data = nullptr);
    // Asks the running thread to stop; does not wait. Any thread.
    void Stop();
    // Wakes the running thread from WaitForWork (see there). Main thread.
    void Wake();
    // Cooperative: a suspended thread waits at its next Synchronize until
    // resumed. Stop releases a suspended thread.
    void Suspend();
    void Resume();
    // A thread exists (running, or ended but not yet reported).
    bool Running() const { return thread_ != nullptr; }
    // The thread's stop request as seen when its handler returned.
    bool TerminatedCopy() const { return terminatedCopy_; }

private:
    friend class TBMDExecuteThread;
    void threadEnded(TBMDExecuteThread* t);
    void updateTick();

    int refreshInterval_ = 100;
    TThreadPriority priority_ = tpNormal;
    bool updateEnabled_ = false;
    DataNotifyEvent onExecute_, onStart_, onTerminate_;
    UpdateNotifyEvent onUpdate_;
    std::unique_ptr<TBMDExecuteThread> thread_;
    bool terminatedCopy_ = false;
    std::recursive_mutex lock_; // held while OnStart, OnUpdate and OnTerminate run
    QTimer updateTimer_;
};
