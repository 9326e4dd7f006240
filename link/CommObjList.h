#pragma once
// TCommObjList: the link list. Owns one port link per enabled Port setting,
// in load order (a link's position is its link index), and carries the two
// commands that act on all of them: start-all and stop-all. Stop-all is also
// the single reaction to every link failure: one link's failure stops all.
//
// Threads: main thread. Failures met on a link's worker thread are handed to
// the main thread with ReportWorkerFailure, which runs stop-all, the log line
// and the message box there, in that order, once per run of scanning: a
// report that arrives after scanning was stopped (by the user, the program's
// end, a reload or an earlier failure) is dropped, so a remote server that
// hangs or dies gives at most one report however many workers meet it.
#include "CommObj.h"

#include <QObject>

#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class TCommObjList : public QObject {
    Q_OBJECT
public:
    TCommObjList(LinkHost& host, TTagTable* tags, RemoteTagLibrary* remote, QObject* parent = nullptr);
    ~TCommObjList() override;

    // A row of the port grid: its row number and its Port setting.
    using GridRow = std::pair<int, TPortSetting>;

    // Stop-all, clear, then one link per row whose DISABLED is not "1", in
    // order; in local mode each link is bound to its tag by name. Returns true
    // when the links were running before (the caller restarts scanning once
    // its load is complete).
    bool Rebuild(const std::vector<GridRow>& rows, const LinkConfig& config);
    // Destroys every link (each waits for its worker thread).
    void Clear();

    void StartAll();
    void StopAll();

    int Count() const { return static_cast<int>(links_.size()); }
    TCommObj* At(int linkIndex) const;
    // Grid row of each link index.
    const std::vector<int>& LinkRowMap() const { return linkRowMap_; }
    // The link whose tag has this index in the tag table, or nullptr.
    TCommObj* LinkOfTag(int tagIndex) const;

    // A client wrote text (the port's bytes) to a port's tag: when it is not
    // empty, it is handed to the link's sending side (it never waits for the
    // port); the text is shown in the link's grid row in every case.
    void ClientWrite(int linkIndex, const std::string& text);

    // Main thread: stop-all, optional message processing, log line, box.
    // Other threads: the same, queued to the main thread.
    void ReportFailure(const std::string& logLine, const std::string& boxText, bool processMessages);
    // A worker's failure in run `run` (see Run): queued to the main thread and
    // reported there as ReportFailure does while that run is still scanning;
    // dropped otherwise. Any thread.
    void ReportWorkerFailure(unsigned run, const std::string& logLine, const std::string& boxText,
                             bool processMessages);
    // An activity-log line from a worker, queued to the main thread.
    void LogFromWorker(const std::string& line);
    // Counts start-alls: the run that the current (or last) scanning is.
    unsigned Run() const { return run_; }

    LinkHost& Host() { return host_; }
    // Observers, set by the port hub: a link started, stopped, lost its
    // device or got it back; Rebuild made new links. Main thread.
    std::function<void(int linkIndex)> onPortStateChanged;
    std::function<void()> onRebuilt;
    void NotifyPortStateChanged(int linkIndex)
    {
        if (onPortStateChanged)
            onPortStateChanged(linkIndex);
    }

    // The mode of the last Rebuild.
    LinkMode Mode() const { return mode_; }
    bool Scanning() const { return scanning_; }

private:
    LinkHost& host_;
    TTagTable* tags_;
    RemoteTagLibrary* remote_;
    std::vector<std::unique_ptr<TCommObj>> links_;
    std::vector<int> linkRowMap_;
    bool scanning_ = false;
    unsigned run_ = 0;
    // Held by workers while they queue a call to the main thread: Qt's own
    // lock on its event queue is invisible to the thread checker, which
    // would otherwise see two workers' postings race.
    std::mutex postMutex_;
    LinkMode mode_ = LinkMode::Local;
};
