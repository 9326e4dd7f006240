#include "RemoteTagAgent.h"

#include "OpcClient.h"
#include "RemoteSession.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <atomic>
#include <chrono>
#include <condition_variable>

namespace {

const QString kConnectionName = QStringLiteral("linvaro-remote-tags");

// Whether ShutdownAtExit is among the application's post routines.
std::atomic<bool> g_postRoutine{false};

void ShutdownAtExit()
{
    g_postRoutine = false;
    RemoteTagAgent::Instance().Shutdown();
}

// The program unloads this module (dlclose) before its application object
// goes: the post routine must not stay behind pointing into unmapped code,
// and the thread must end while this code is still there. At the process's
// own exit the post routine has already run and this does nothing.
struct UnloadGuard {
    ~UnloadGuard()
    {
        if (g_postRoutine.exchange(false)) {
            qRemovePostRoutine(ShutdownAtExit);
            RemoteTagAgent::Instance().Shutdown();
        }
    }
} g_unloadGuard;

} // namespace

struct RemoteTagAgent::Request {
    enum class Kind { Read, Write } kind = Kind::Read;
    std::string tag;
    Variant value;
    std::chrono::steady_clock::time_point deadline;

    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool result = false;
    bool abandoned = false; // the caller stopped waiting
};

RemoteTagAgent& RemoteTagAgent::Instance()
{
    // Never destroyed: the thread is ended by Shutdown while Qt still runs.
    static auto* agent = new RemoteTagAgent;
    return *agent;
}

void RemoteTagAgent::Init(const std::string& progId)
{
    std::lock_guard lock(mutex_);
    if (!QCoreApplication::instance())
        return;
    if (!thread_) {
        thread_ = new QThread;
        thread_->setObjectName(QStringLiteral("remote tags"));
        worker_ = new QObject;
        worker_->moveToThread(thread_);
        QObject::connect(thread_, &QThread::finished, worker_, &QObject::deleteLater);
        thread_->start();
        queue([] {
            opcclient::SetConnection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnectionName));
            opcclient::SetCallTimeoutMs(kCallTimeoutMs);
        });
        qAddPostRoutine(ShutdownAtExit);
        g_postRoutine = true;
    }
    queue([this, progId] { session_ = std::make_unique<RemoteSession>(progId); });
}

void RemoteTagAgent::queue(std::function<void()> work)
{
    // Called with mutex_ held.
    work_.push_back(std::move(work));
    // The queued call carries nothing: the work travels in work_, under
    // mutex_, where a thread checker sees the hand-over (Qt's own queue lock
    // it cannot see).
    QMetaObject::invokeMethod(worker_, [] { Instance().drain(); });
}

void RemoteTagAgent::drain()
{
    if (draining_)
        return; // inside a call's wait: the outer drain goes on after it
    draining_ = true;
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (work_.empty())
                break;
            work = std::move(work_.front());
            work_.pop_front();
        }
        work();
    }
    draining_ = false;
}

bool RemoteTagAgent::submit(const std::shared_ptr<Request>& request)
{
    {
        std::lock_guard lock(mutex_);
        if (!worker_)
            return false; // not initialised, or ended
        request->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCallerWaitMs);
        queue([this, request] {
            bool result = false;
            {
                std::lock_guard l(request->mutex);
                if (request->abandoned || std::chrono::steady_clock::now() > request->deadline)
                    return;
            }
            if (session_) {
                if (request->kind == Request::Kind::Read)
                    result = session_->Read(request->tag, request->value);
                else
                    result = session_->Write(request->tag, *request->value.get());
            }
            std::lock_guard l(request->mutex);
            request->result = result;
            request->finished = true;
            request->done.notify_all();
        });
    }
    std::unique_lock l(request->mutex);
    if (!request->done.wait_until(l, request->deadline, [&] { return request->finished; })) {
        request->abandoned = true;
        return false;
    }
    return request->result;
}

bool RemoteTagAgent::Read(const std::string& tag, VARIANT* value)
{
    if (!value)
        return false;
    auto request = std::make_shared<Request>();
    request->kind = Request::Kind::Read;
    request->tag = tag;
    if (!submit(request))
        return false;
    std::lock_guard l(request->mutex);
    VariantClear(value);
    return SUCCEEDED(VariantCopy(value, request->value.get()));
}

bool RemoteTagAgent::Write(const std::string& tag, const VARIANT* value)
{
    if (!value)
        return false;
    auto request = std::make_shared<Request>();
    request->kind = Request::Kind::Write;
    request->tag = tag;
    if (FAILED(VariantCopy(request->value.get(), value)))
        return false;
    return submit(request);
}

void RemoteTagAgent::Shutdown()
{
    QThread* thread = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!thread_)
            return;
        thread = std::exchange(thread_, nullptr);
        // The session goes on its own thread, where its proxies were made.
        queue([this] {
            session_.reset();
            QDBusConnection::disconnectFromBus(kConnectionName);
            QThread::currentThread()->quit();
        });
        worker_ = nullptr; // no more work is taken
    }
    thread->wait();
    delete thread;
}
