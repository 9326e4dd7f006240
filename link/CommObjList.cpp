#include "CommObjList.h"

#include "Globals.h"
#include "LinkHost.h"

#include <QThread>

#include <unordered_map>

namespace {
std::string Quoted(const std::string& s) { return "\"" + s + "\""; }
} // namespace

TCommObjList::TCommObjList(LinkHost& host, TTagTable* tags, RemoteTagLibrary* remote, QObject* parent)
    : QObject(parent), host_(host), tags_(tags), remote_(remote)
{
}

TCommObjList::~TCommObjList() { Clear(); }

bool TCommObjList::Rebuild(const std::vector<GridRow>& rows, const LinkConfig& config)
{
    const bool wasRunning = !links_.empty() && links_.front()->Running();
    StopAll();
    Clear();
    mode_ = config.mode;
    // Per tag name (as cut by the tag table): the description of the first
    // link that has it and how many links have it so far. Every link gets a
    // tag of its own, also when names agree in their first 64 characters.
    struct NameUse {
        std::string firstDescription;
        std::size_t count = 0;
    };
    std::unordered_map<std::string, NameUse> names;
    for (const auto& [gridRow, setting] : rows) {
        if (setting.disabled())
            continue;
        auto link = std::make_unique<TCommObj>(*this, host_, config.mode, tags_, remote_);
        link->Configure(setting, config);
        link->SetLinkIndex(static_cast<int>(links_.size()));
        if (config.mode == LinkMode::Local && tags_) {
            const std::string name = setting.tagName();
            NameUse& use = names[std::string(TTagTable::TagNameOf(name))];
            if (use.count == 0)
                use.firstDescription = setting[psDESCRIPTION];
            else
                host_.Log("Warning: port settings " + Quoted(use.firstDescription) + " and " +
                          Quoted(setting[psDESCRIPTION]) + " have the same OPC tag name " +
                          Quoted(std::string(TTagTable::TagNameOf(name))) +
                          " (first 64 characters); each port keeps its own tag, a lookup by name finds the first.");
            link->BindTag(name, tags_->BindTag(name, VT_BSTR, use.count++));
        }
        links_.push_back(std::move(link));
        linkRowMap_.push_back(gridRow);
    }
    if (onRebuilt)
        onRebuilt();
    return wasRunning;
}

void TCommObjList::Clear()
{
    // Destroy one by one from the back so that a link's destruction (which
    // serves the main thread's events) never sees a half-emptied vector.
    while (!links_.empty()) {
        std::unique_ptr<TCommObj> link = std::move(links_.back());
        links_.pop_back();
        link.reset();
    }
    linkRowMap_.clear();
}

void TCommObjList::StartAll()
{
    if (host_.SettingsModified()) {
        const int answer = host_.ShowMsg(
            "Do you want to save the changes first?\r\rClicking No will revert to the last saved settings.", 3, 3);
        if (answer == 6)
            host_.SaveSettings();
        else
            host_.ReloadSettings();
    }
    ++run_;
    for (std::size_t i = 0; i < links_.size(); ++i) {
        TCommObj& link = *links_[i];
        const std::string description = link.Description();
        if (!link.Start()) {
            const std::string reason = link.StartError();
            StopAll();
            host_.Log("Error starting port " + Quoted(description) + "!" + (reason.empty() ? "" : " " + reason));
            return;
        }
        host_.Log("Port " + Quoted(description) + " started!");
    }
    scanning_ = true;
    host_.ScanningChanged(true);
    host_.Log("All enabled ports successfully started!");
}

void TCommObjList::StopAll()
{
    for (std::size_t i = 0; i < links_.size(); ++i) {
        links_[i]->Stop();
        host_.Log("Port " + Quoted(links_[i]->Description()) + " stopped!");
    }
    scanning_ = false;
    host_.ScanningChanged(false);
}

TCommObj* TCommObjList::At(int linkIndex) const
{
    if (linkIndex < 0 || linkIndex >= Count())
        return nullptr;
    return links_[static_cast<std::size_t>(linkIndex)].get();
}

TCommObj* TCommObjList::LinkOfTag(int tagIndex) const
{
    for (const auto& link : links_)
        if (link->TagIndex() == tagIndex)
            return link.get();
    return nullptr;
}

void TCommObjList::ClientWrite(int linkIndex, const std::string& text)
{
    TCommObj* link = At(linkIndex);
    if (!link)
        return;
    if (!text.empty())
        link->QueueClientWrite(text);
    host_.ShowTagValue(linkIndex, text);
}

void TCommObjList::ReportFailure(const std::string& logLine, const std::string& boxText, bool processMessages)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, logLine, boxText, processMessages] { ReportFailure(logLine, boxText, processMessages); },
            Qt::QueuedConnection);
        return;
    }
    StopAll();
    if (processMessages)
        host_.ProcessMessages();
    host_.Log(logLine);
    host_.ShowMsg(boxText, 1, 4);
}

void TCommObjList::ReportWorkerFailure(unsigned run, const std::string& logLine, const std::string& boxText,
                                       bool processMessages)
{
    std::lock_guard lock(postMutex_);
    QMetaObject::invokeMethod(
        this,
        [this, run, logLine, boxText, processMessages] {
            if (!scanning_ || run != run_)
                return;
            ReportFailure(logLine, boxText, processMessages);
        },
        Qt::QueuedConnection);
}

void TCommObjList::LogFromWorker(const std::string& line)
{
    std::lock_guard lock(postMutex_);
    QMetaObject::invokeMethod(this, [this, line] { host_.Log(line); }, Qt::QueuedConnection);
}
