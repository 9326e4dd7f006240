#include "BMDThread.h"

#include "ThreadHandOff.h"

#include <QCoreApplication>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

namespace {

// Nice value for a thread priority. Raising a thread above normal needs
// privileges; without them the thread simply runs at normal priority.
int NiceOf(TThreadPriority p)
{
    switch (p) {
    case tpIdle: return 19;
    case tpLowest: return 10;
    case tpLower: return 5;
    case tpNormal: return 0;
    case tpHigher: return -5;
    case tpHighest: return -10;
    case tpTimeCritical: return -20;
    }
    return 0;
}

thread_local TBMDExecuteThread* t_current = nullptr;

} // namespace

TBMDExecuteThread* TBMDExecuteThread::Current() { return t_current; }

bool TBMDExecuteThread::WaitForWork(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(holdMutex_);
    const auto woken = [this] { return wakePending_ || stopRequested_.load(); };
    if (deadline == std::chrono::steady_clock::time_point::max())
        holdCv_.wait(lock, woken);
    else
        holdCv_.wait_until(lock, deadline, woken);
    wakePending_ = false;
    return !stopRequested_.load();
}

void TBMDExecuteThread::Wake()
{
    std::lock_guard lock(holdMutex_);
    wakePending_ = true;
    holdCv_.notify_all();
}

TBMDExecuteThread::TBMDExecuteThread(TBMDThread* owner, void* data) : owner_(owner), data_(data) {}

void TBMDExecuteThread::waitWhileHeld()
{
    std::unique_lock lock(holdMutex_);
    holdCv_.wait(lock, [this] { return !held_ || stopRequested_.load(); });
}

void TBMDExecuteThread::Stop()
{
    stopRequested_ = true;
    std::lock_guard lock(holdMutex_);
    held_ = false;
    holdCv_.notify_all();
}

bool TBMDExecuteThread::Synchronize(const std::function<void()>& method)
{
    if (!method || stopRequested_.load())
        return false;
    waitWhileHeld();
    if (stopRequested_.load())
        return false;

    // The owner outlives this call: its destructor serves the main thread's
    // events until this thread has ended.
    struct Call {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto call = std::make_shared<Call>();
    HandOffPublished(call.get());
    QMetaObject::invokeMethod(
        owner_,
        [call, &method] {
            HandOffReceived(call.get());
            method();
            std::lock_guard lock(call->m);
            call->done = true;
            call->cv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(call->m);
    call->cv.wait(lock, [&] { return call->done; });
    return true;
}

void TBMDExecuteThread::body()
{
    waitWhileHeld();
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), NiceOf(owner_->priority_));
    t_current = this;
    if (owner_->onExecute_)
        owner_->onExecute_(owner_, this, data_);
    t_current = nullptr;

    std::lock_guard lock(holdMutex_);
    finished_ = true;
    if (!redirected_) {
        TBMDThread* owner = owner_;
        HandOffPublished(this);
        QMetaObject::invokeMethod(
            owner,
            [owner, self = this] {
                HandOffReceived(self);
                owner->threadEnded(self);
            },
            Qt::QueuedConnection);
    }
    holdCv_.notify_all();
}

TBMDThread::TBMDThread(QObject* owner) : QObject(owner)
{
    updateTimer_.setInterval(refreshInterval_);
    connect(&updateTimer_, &QTimer::timeout, this, &TBMDThread::updateTick);
}

TBMDThread::~TBMDThread()
{
    updateTimer_.stop();
    if (thread_) {
        {
            std::lock_guard lock(thread_->holdMutex_);
            thread_->redirected_ = true;
        }
        thread_->Stop();
        // Serve Synchronize calls while the handler runs to its next poll of
        // the stop request.
        while (thread_ && !thread_->finished_.load()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::unique_lock lock(thread_->holdMutex_);
            thread_->holdCv_.wait_for(lock, std::chrono::milliseconds(2),
                                      [this] { return thread_->finished_.load(); });
        }
        if (thread_ && thread_->thread_.joinable())
            thread_->thread_.join();
        thread_.reset();
    }
}

void TBMDThread::SetRefreshInterval(int ms)
{
    refreshInterval_ = ms;
    updateTimer_.setInterval(ms);
}

void TBMDThread::SetUpdateEnabled(bool on)
{
    updateEnabled_ = on;
    if (thread_ && on)
        updateTimer_.start();
    else
        updateTimer_.stop();
}

void TBMDThread::Start(void* data)
{
    if (thread_)
        return;
    thread_.reset(new TBMDExecuteThread(this, data));
    terminatedCopy_ = false;
    TBMDExecuteThread* t = thread_.get();
    t->thread_ = std::thread([t] { t->body(); });
    if (onStart_) {
        std::lock_guard lock(lock_);
        onStart_(this, t, t->data_);
    }
    {
        std::lock_guard lock(t->holdMutex_);
        t->held_ = false;
        t->holdCv_.notify_all();
    }
    if (updateEnabled_)
        updateTimer_.start();
}

void TBMDThread::Stop()
{
    if (thread_)
        thread_->Stop();
}

void TBMDThread::Wake()
{
    if (thread_)
        thread_->Wake();
}

void TBMDThread::Suspend()
{
    if (!thread_)
        return;
    std::lock_guard lock(thread_->holdMutex_);
    if (!thread_->stopRequested_.load())
        thread_->held_ = true;
}

void TBMDThread::Resume()
{
    if (!thread_)
        return;
    std::lock_guard lock(thread_->holdMutex_);
    thread_->held_ = false;
    thread_->holdCv_.notify_all();
}

void TBMDThread::threadEnded(TBMDExecuteThread* t)
{
    if (thread_.get() != t)
        return;
    updateTimer_.stop();
    if (t->thread_.joinable())
        t->thread_.join();
    terminatedCopy_ = t->stopRequested_.load();
    std::unique_ptr<TBMDExecuteThread> ended = std::move(thread_);
    if (onTerminate_) {
        std::lock_guard lock(lock_);
        onTerminate_(this, ended.get(), ended->data_);
    }
}

void TBMDThread::updateTick()
{
    if (!thread_ || !onUpdate_)
        return;
    std::lock_guard lock(lock_);
    onUpdate_(this, thread_.get(), thread_->data_, thread_->percent_);
}
