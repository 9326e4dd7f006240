#include "PortHub.h"

#include "CommObjList.h"
#include "Globals.h"
#include "PortText.h"

#include <algorithm>

const char* PortStateText(PortState state)
{
    switch (state) {
    case PortState::Running:
        return "Running";
    case PortState::DeviceLost:
        return "DeviceLost";
    case PortState::Stopped:
        break;
    }
    return "Stopped";
}

PortHub::PortHub(TCommObjList& links, TTagTable* tags, QObject* parent) : QObject(parent), links_(links), tags_(tags)
{
    links_.onPortStateChanged = [this](int linkIndex) { emit portStateChanged(linkIndex); };
    links_.onRebuilt = [this] { emit portsReloaded(); };
    if (tags_)
        tags_->onTextChanged = [this](std::size_t index) { emit tagChanged(static_cast<int>(index)); };
}

PortHub::~PortHub()
{
    links_.onPortStateChanged = nullptr;
    links_.onRebuilt = nullptr;
    if (tags_)
        tags_->onTextChanged = nullptr;
}

const TCommObj* PortHub::link(int linkIndex) const { return links_.At(linkIndex); }

bool PortHub::RemoteMode() const { return links_.Mode() == LinkMode::Remote; }

int PortHub::PortCount() const { return links_.Count(); }

PortState PortHub::State(int linkIndex) const
{
    const TCommObj* l = link(linkIndex);
    if (!l || !l->Running())
        return PortState::Stopped;
    return l->DeviceLost() ? PortState::DeviceLost : PortState::Running;
}

PortCounters PortHub::Counters(int linkIndex) const
{
    PortCounters c;
    if (const TCommObj* l = link(linkIndex)) {
        const LinkCounters lc = l->Counters();
        c.stringsReceived = lc.stringsReceived;
        c.bytesReceived = lc.bytesReceived;
        c.bytesSent = lc.bytesSent;
        c.errors = lc.errors;
        c.lastReceivedMs = lc.lastReceivedMs;
    }
    return c;
}

PortInfo PortHub::Port(int linkIndex) const
{
    PortInfo info;
    const TCommObj* l = link(linkIndex);
    if (!l)
        return info;
    info.linkIndex = linkIndex;
    info.description = l->Description();
    info.port = l->PortName();
    if (l->Mode() == LinkMode::Local) {
        info.tagName = l->TagName();
        info.tagIndex = l->TagIndex();
    }
    info.state = State(linkIndex);
    info.counters = Counters(linkIndex);
    return info;
}

std::vector<PortInfo> PortHub::Ports() const
{
    std::vector<PortInfo> all;
    all.reserve(static_cast<std::size_t>(PortCount()));
    for (int i = 0; i < PortCount(); ++i)
        all.push_back(Port(i));
    return all;
}

int PortHub::TagCount() const
{
    if (!tags_ || RemoteMode())
        return 0;
    return static_cast<int>(std::min(tags_->Count(), tags_->ValueCount()));
}

int PortHub::TagIndexOf(std::string_view name) const
{
    if (TagCount() == 0)
        return -1;
    const std::uint32_t handle = tags_->HandleOfName(name);
    if (handle < TTagTable::kFirstHandle)
        return -1;
    const int index = static_cast<int>(handle - TTagTable::kFirstHandle);
    return index < TagCount() ? index : -1;
}

bool PortHub::Tag(int tagIndex, TagValue& out) const
{
    if (tagIndex < 0 || tagIndex >= TagCount())
        return false;
    const auto i = static_cast<std::size_t>(tagIndex);
    const TRealDataPoint& v = tags_->Value(i);
    out.name = tags_->Entry(i).name;
    out.text = v.textValue;
    out.changedMs = v.changedMs;
    out.changeCount = v.changeCount;
    const TCommObj* l = links_.LinkOfTag(tagIndex);
    out.deviceLost = l && l->Running() && l->DeviceLost();
    return true;
}

int PortHub::LinkOfTag(int tagIndex) const
{
    const TCommObj* l = links_.LinkOfTag(tagIndex);
    return l ? l->LinkIndex() : -1;
}

bool PortHub::WriteTag(int tagIndex, const std::string& text)
{
    if (tagIndex < 0 || tagIndex >= TagCount())
        return false;
    tags_->SetText(static_cast<std::size_t>(tagIndex), text);
    if (const TCommObj* l = links_.LinkOfTag(tagIndex))
        links_.ClientWrite(l->LinkIndex(), text);
    return true;
}

std::string PortHub::ClientText(std::string_view portBytes) { return Utf8FromPortBytes(portBytes); }

std::string PortHub::PortBytes(std::string_view clientText) { return PortBytesFromUtf8(clientText); }
