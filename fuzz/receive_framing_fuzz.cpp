// The receive path of a port link: arbitrary chunks from a device, under
// settings taken from the input (terminating character including -1 and
// values outside a byte, extraction marker, hex conversion), into two started
// links on pseudo-terminals with a recording window.
//
// What must hold for any input:
// - every string handed to the tag is clean: hex digits in pairs when
//   converting to hex, starting with the marker when extracting, otherwise
//   without leading or trailing control characters;
// - the tag holds the last string shown;
// - with a terminating character, how the bytes were split into chunks does
//   not matter: link 0 gets the chunks, link 1 the same bytes in one chunk,
//   and both hand on the same strings and keep the same pending text.
#include "CommObjList.h"
#include "Globals.h"
#include "MakeSetting.h"
#include "PtyPair.h"
#include "RecordingHost.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Rig {
    Rig()
    {
        TCommPortDriver::SetDeviceNameResolver([this](const std::string& com) -> std::string {
            if (com == "COM1")
                return ptys[0].slavePath();
            if (com == "COM2")
                return ptys[1].slavePath();
            return {};
        });
        list = std::make_unique<TCommObjList>(host, &tags, nullptr);
        list->Rebuild({{1, MakeSetting("Scale", "COM1")}, {2, MakeSetting("Scale", "COM2")}}, LinkConfig{});
        list->StartAll();
        if (list->Count() != 2 || !list->At(0)->Running() || !list->At(1)->Running())
            std::abort();
    }

    std::vector<std::string> ShownBy(int linkIndex) const
    {
        std::vector<std::string> v;
        for (const auto& [i, t] : host.shownHistory)
            if (i == linkIndex)
                v.push_back(t);
        return v;
    }

    PtyPair ptys[2];
    RecordingHost host;
    TTagTable tags;
    std::unique_ptr<TCommObjList> list;
};

Rig& TheRig()
{
    static int argc = 1;
    static char name[] = "receive_framing_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Rig rig;
    return rig;
}

// Reads one byte of the input, 0 when it is used up.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::uint8_t Byte()
    {
        if (!size)
            return 0;
        --size;
        return *data++;
    }
    std::string Bytes(std::size_t n)
    {
        n = std::min(n, size);
        std::string s(reinterpret_cast<const char*>(data), n);
        data += n;
        size -= n;
        return s;
    }
};

bool IsHexPairs(const std::string& s)
{
    if (s.size() % 2)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Rig& rig = TheRig();
    Reader in{data, size};

    // Terminating character as the setting's text: none, a byte, a number
    // outside a byte, or any text at all.
    const std::uint8_t how = in.Byte();
    const std::uint8_t value = in.Byte();
    std::string terminator;
    switch (how & 3) {
    case 0: terminator = "-1"; break;
    case 1: terminator = std::to_string(value); break;
    case 2: terminator = std::to_string(static_cast<int>(value) * 37 - 2000); break;
    case 3: terminator = in.Bytes(value % 8); break;
    }
    const bool hex = how & 4;
    const std::string marker = in.Bytes((how >> 3) & 3);

    TCommObjList& list = *rig.list;
    for (int i = 0; i < 2; ++i) {
        TCommObj& link = *list.At(i);
        link.Stop();
        TPortSetting s = MakeSetting("Scale", i == 0 ? "COM1" : "COM2", terminator);
        s[psFROM_SUBSTRING] = marker;
        s[psCONVERT_HEX] = hex ? "1" : "0";
        link.Configure(s, LinkConfig{});
        if (!link.Start())
            std::abort();
    }
    rig.host.shownHistory.clear();
    rig.host.shown.clear();
    rig.host.log.clear();
    rig.host.events.clear();

    // The rest is chunks, each led by its length.
    std::string all;
    TCommObj& chunked = *list.At(0);
    while (in.size) {
        const std::string chunk = in.Bytes(in.Byte());
        chunked.ReceiveData(chunk.data(), static_cast<std::uint32_t>(chunk.size()));
        all += chunk;
    }
    TCommObj& whole = *list.At(1);
    whole.ReceiveData(all.data(), static_cast<std::uint32_t>(all.size()));

    for (int i = 0; i < 2; ++i) {
        const std::vector<std::string> shown = rig.ShownBy(i);
        for (const std::string& s : shown) {
            if (hex) {
                if (!IsHexPairs(s))
                    std::abort();
            } else if (!marker.empty()) {
                if (s.compare(0, marker.size(), marker) != 0)
                    std::abort();
            } else if (!s.empty() && (static_cast<unsigned char>(s.front()) <= 32 ||
                                      static_cast<unsigned char>(s.back()) <= 32)) {
                std::abort();
            }
        }
        TCommObj& link = *list.At(i);
        if (!shown.empty() && rig.tags.Value(static_cast<std::size_t>(link.TagIndex())).textValue != shown.back())
            std::abort();
        if (!link.Running())
            std::abort();
    }
    if (chunked.TerminatingChar() != -1) {
        if (rig.ShownBy(0) != rig.ShownBy(1) || chunked.PendingText() != whole.PendingText())
            std::abort();
    }
    // A failure report is queued for the main thread; serve it.
    QCoreApplication::processEvents();
    return 0;
}
