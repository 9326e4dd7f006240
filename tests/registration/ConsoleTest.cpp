// The server console with in-process server objects, the shutdown request
// dialog, the end of a process started by the bus, and the server list with
// its selection dialog (offscreen).
#include "OpcTestSupport.h"
#include "TempRoots.h"

#include "OPCenum.h"
#include "RegDeRegServer.h"
#include "RegistryStore.h"
#include "ServerBrowser.h"
#include "ShutDownRequest.h"
#include "opcSvConsole.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include <deque>
#include <tuple>

namespace {

constexpr CLSID kZeta = MakeGuid(0x10000000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1);
constexpr CLSID kAlpha = MakeGuid(0x20000000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2);
constexpr CLSID kBeta = MakeGuid(0x30000000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3);
constexpr CLSID kOld = MakeGuid(0x40000000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4);
constexpr CLSID kNoProgId = MakeGuid(0x50000000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5);

void AdviseShutdown(Client& client, IUnknown* sink)
{
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(client.server->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, &cp), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(cp->Advise(sink, &cookie), S_OK);
    cp->Release();
    cpc->Release();
}

class Console : public OpcTest {
protected:
    std::unique_ptr<TfrmOPCServerConsole> Make()
    {
        auto console = std::make_unique<TfrmOPCServerConsole>([this](const std::string& t, int kind, int buttons) {
            boxes.emplace_back(t, kind, buttons);
            if (answers.empty())
                return 7; // No
            const int a = answers.front();
            answers.pop_front();
            return a;
        });
        console->plainMessage = [this](const std::string& t) { plain.push_back(t); };
        return console;
    }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> v;
        for (const auto& b : boxes)
            v.push_back(std::get<0>(b));
        return v;
    }
    // Runs the shutdown dialog: records its items and picks one (-1: cancel).
    void PickInDialog(TfrmOPCServerConsole& console, int index)
    {
        console.shutdownDialogRunner = [this, index](TShutDownDlg& dlg) {
            items.clear();
            for (int i = 0; i < dlg.Servers()->count(); ++i)
                items.emplace_back(dlg.Servers()->itemText(i).toStdString(), dlg.Servers()->itemData(i).toInt());
            firstSelected = dlg.Servers()->currentIndex() == 0;
            if (index < 0)
                return false;
            dlg.Servers()->setCurrentIndex(index);
            return true;
        };
    }

    TempRoots roots;
    std::vector<std::tuple<std::string, int, int>> boxes;
    std::deque<int> answers;
    std::vector<std::string> plain;
    std::vector<std::pair<std::string, int>> items;
    bool firstSelected = false;
};

class ServerList : public OpcTest {
protected:
    void SetUp() override
    {
        OpcTest::SetUp();
        AddServer(kZeta, "zeta.Server.1", "Zeta server", {CATID_OPCDAServer20});
        AddServer(kAlpha, "Alpha.Server.1", "Alpha server", {CATID_OPCDAServer20, CATID_OPCDAServer10});
        AddServer(kBeta, "beta.Server", "Beta server", {CATID_OPCDAServer20});
        AddServer(kOld, "Old.Server", "Old server", {CATID_OPCDAServer10});
        ASSERT_TRUE(registry::SetDefault("CLSID\\" + GuidToString(kNoProgId), "no ProgID"));
        ASSERT_TRUE(registry::RegisterClassImplCategory(kNoProgId, CATID_OPCDAServer20));
    }
    static void AddServer(REFCLSID clsid, const std::string& progId, const std::string& userType,
                          const std::vector<CATID>& categories)
    {
        const std::string cls = "CLSID\\" + GuidToString(clsid);
        ASSERT_TRUE(registry::SetDefault(cls, userType));
        ASSERT_TRUE(registry::SetDefault(cls + "\\ProgID", progId));
        ASSERT_TRUE(registry::SetDefault(progId + "\\CLSID", GuidToString(clsid)));
        for (const CATID& c : categories)
            ASSERT_TRUE(registry::RegisterClassImplCategory(clsid, c));
    }
    TempRoots roots;
};

// An outside enumerator component with IOPCServerList only, answering from
// a fixed table in a fixed (unsorted) order.
class FakeServerList final : public ComObject, public IOPCServerList {
public:
    struct Entry {
        CLSID clsid;
        const char* progId; // nullptr: its details cannot be read
    };
    explicit FakeServerList(std::vector<Entry> entries, bool offer = true) : entries_(std::move(entries)), offer_(offer)
    {
    }
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown || (offer_ && riid == IID_IOPCServerList))
            return ComAnswer(static_cast<IOPCServerList*>(this), ppv);
        return E_NOINTERFACE;
    }
    HRESULT EnumClassesOfCategories(ULONG cImpl, CATID*, ULONG cReq, CATID*, IEnumGUID** ppenum) override
    {
        EXPECT_EQ(cImpl, 1u);
        EXPECT_EQ(cReq, 0u);
        ++enumerations;
        // A one-at-a-time class enumerator over the table.
        struct List final : ComObject, IEnumGUID {
            std::vector<GUID> g;
            std::size_t pos = 0;
            LINVARO_COM_IUNKNOWN
            HRESULT QueryInterfaceImpl(REFIID, void** ppv) { return ComAnswer(static_cast<IEnumGUID*>(this), ppv); }
            HRESULT Next(ULONG, GUID* out, ULONG* fetched) override
            {
                *fetched = pos < g.size() ? 1 : 0;
                if (pos < g.size())
                    *out = g[pos++];
                return *fetched ? S_OK : S_FALSE;
            }
            HRESULT Skip(ULONG) override { return E_NOTIMPL; }
            HRESULT Reset() override { return E_NOTIMPL; }
            HRESULT Clone(IEnumGUID**) override { return E_NOTIMPL; }
        };
        auto* list = new List;
        for (const auto& e : entries_)
            list->g.push_back(e.clsid);
        return list->QueryInterfaceImpl(IID_IEnumGUID, reinterpret_cast<void**>(ppenum));
    }
    HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType) override
    {
        for (const auto& e : entries_)
            if (e.clsid == clsid && e.progId) {
                *progId = CoTaskStrDupAnsi(e.progId);
                *userType = CoTaskStrDupAnsi(std::string("about ") + e.progId);
                return S_OK;
            }
        return REGDB_E_CLASSNOTREG;
    }
    HRESULT CLSIDFromProgID(LPCOLESTR, CLSID*) override { return E_NOTIMPL; }
    int enumerations = 0;

private:
    std::vector<Entry> entries_;
    bool offer_;
};

ServerEnumeratorFactory FactoryOf(IUnknown* component)
{
    return [component](const std::string&, REFCLSID clsid, REFIID riid, void** ppv) {
        EXPECT_EQ(clsid, CLSID_OpcServerList);
        return component->QueryInterface(riid, ppv);
    };
}

} // namespace

// ------------------------------------------------------------------ console

TEST_F(Console, CaptionsLayoutAndStartValues)
{
    auto console = Make();
    EXPECT_EQ(console->windowTitle(), "OPC Server Console");
    EXPECT_EQ(console->size(), QSize(305, 213));
    EXPECT_EQ(console->findChild<QLabel*>("Label2")->text(), "Clients Connected:");
    EXPECT_EQ(console->findChild<QLabel*>("Label1")->text(), "Group count:");
    EXPECT_EQ(console->ClientConLbl()->text(), "0");
    EXPECT_EQ(console->GrpCountLbl()->text(), "0");
    EXPECT_EQ(console->findChild<QGroupBox*>()->title(), " Server ");
    for (auto [name, caption] : {std::pair{"RegSerBtn", "Register"}, std::pair{"UnRegBtn", "Unregister"},
                                 std::pair{"SDButton", "Shutdown Request"}, std::pair{"CloseBtn", "Close"}})
        EXPECT_EQ(console->findChild<QPushButton*>(name)->text(), caption) << name;
    EXPECT_FALSE(console->SDButton()->isEnabled()) << "no client connected";
}

TEST_F(Console, CountsFollowTheServerObjectsWhileTheConsoleIsOpen)
{
    auto console = Make();
    console->show();
    Client a, b;
    ASSERT_EQ(a.Connect(), S_OK);
    ASSERT_EQ(b.Connect(), S_OK);
    ClientGroup g1, g2, g3;
    ASSERT_EQ(a.AddGroup(g1, "one"), S_OK);
    ASSERT_EQ(a.AddGroup(g2, "two"), S_OK);
    ASSERT_EQ(b.AddGroup(g3, "three"), S_OK);
    EXPECT_EQ(console->ClientConLbl()->text(), "2");
    EXPECT_EQ(console->GrpCountLbl()->text(), "3");
    EXPECT_TRUE(console->SDButton()->isEnabled());

    g1.Release();
    g2.Release();
    a.server.reset();
    EXPECT_EQ(console->ClientConLbl()->text(), "1");
    EXPECT_EQ(console->GrpCountLbl()->text(), "1");
    g3.Release();
    b.server.reset();
    EXPECT_EQ(console->ClientConLbl()->text(), "0");
    EXPECT_FALSE(console->SDButton()->isEnabled());
    EXPECT_GT(consoleRefreshes, 0) << "the hook that was there is still called";

    // Gone: the refresh no longer reaches it, and the earlier hook is back.
    console.reset();
    const int before = consoleRefreshes;
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    EXPECT_EQ(consoleRefreshes, before + 1);
}

TEST_F(Console, ShowRefreshesCountsThatLagged)
{
    Client a;
    ASSERT_EQ(a.Connect(), S_OK);
    auto console = Make();
    EXPECT_EQ(console->ClientConLbl()->text(), "0");
    console->show();
    EXPECT_EQ(console->ClientConLbl()->text(), "1");
    EXPECT_TRUE(console->SDButton()->isEnabled());
}

TEST_F(Console, RegisterTwiceRewritesTheKeysAndSaysSoTwice)
{
    auto console = Make();
    console->RegSerBtnClick();
    const std::string first = roots.Tree();
    console->RegSerBtnClick();
    EXPECT_EQ(roots.Tree(), first);
    EXPECT_EQ(Texts(), (std::vector<std::string>{TfrmOPCServerConsole::kRegistered, TfrmOPCServerConsole::kRegistered}));
    EXPECT_EQ(std::get<1>(boxes[0]), 2) << "information";
    EXPECT_EQ(std::get<2>(boxes[0]), 4) << "OK";
    EXPECT_EQ(registry::ClsidFromProgId("QuorbelLinvaro.DA2.1"), CLSID_DA2);
}

TEST_F(Console, UnregisterAnsweredNoChangesNothing)
{
    ASSERT_TRUE(comserver::WriteFrameworkRegistration("/opt/linvaro/linvaro"));
    auto console = Make();
    console->RegSerBtnClick();
    const std::string registered = roots.Tree();
    boxes.clear();
    answers = {7};
    console->UnRegBtnClick();
    EXPECT_EQ(roots.Tree(), registered);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(std::get<0>(boxes[0]), "Are you sure you want to unregister the OPC server?\r\rAfter unregistered, the "
                                     "OPC server is no longer available.");
    EXPECT_EQ(std::get<1>(boxes[0]), 3) << "confirmation";
    EXPECT_EQ(std::get<2>(boxes[0]), 3) << "Yes and No";

    answers = {6};
    console->UnRegBtnClick();
    EXPECT_EQ(Texts().back(), "The OPC Server has been unregistered successfully!");
    EXPECT_FALSE(registry::KeyExists("QuorbelLinvaro.DA2.1"));
    EXPECT_TRUE(registry::ClassesOfCategory(CATID_OPCDAServer20).empty());
    EXPECT_TRUE(registry::KeyExists("CLSID\\" + GuidToString(CLSID_DA2) + "\\LocalServer32"));
}

TEST_F(Console, RegisterFailureShowsTheErrorInsteadOfSuccess)
{
    setenv("LINVARO_REGISTRY_ROOT", (roots.File() + "/registry").c_str(), 1);
    auto console = Make();
    console->RegSerBtnClick();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(std::get<0>(boxes[0]), "Error creating system registry entry");
    EXPECT_EQ(std::get<1>(boxes[0]), 1) << "error";
}

TEST_F(Console, ShutdownDialogOffersTheLiveSlotsAndAsksTheChosenClient)
{
    Client a, b, c;
    ASSERT_EQ(a.Connect(), S_OK);
    ASSERT_EQ(b.Connect(), S_OK);
    ASSERT_EQ(c.Connect(), S_OK);
    auto sink = MakeSink<TestShutdownSink>();
    AdviseShutdown(c, sink.get());
    b.server.reset();

    auto console = Make();
    PickInDialog(*console, 1);
    console->SDButtonClick();
    EXPECT_EQ(items, (std::vector<std::pair<std::string, int>>{{"1", 0}, {"3", 2}}));
    EXPECT_TRUE(firstSelected);
    EXPECT_EQ(sink->reasons, std::vector<std::string>{"Quorbel Linvaro IOPCShutdown request."});
    EXPECT_TRUE(plain.empty());

    PickInDialog(*console, -1); // Cancel
    console->SDButtonClick();
    EXPECT_EQ(sink->reasons.size(), 1u);

    PickInDialog(*console, 0); // a client that never connected a sink
    console->SDButtonClick();
    EXPECT_TRUE(plain.empty());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Console, ShutdownRequestToASinkWithoutTheInterfaceSaysSo)
{
    Client a;
    ASSERT_EQ(a.Connect(), S_OK);
    auto sink = MakeSink<TestShutdownSink>(false);
    AdviseShutdown(a, sink.get());
    auto console = Make();
    PickInDialog(*console, 0);
    console->SDButtonClick();
    EXPECT_EQ(plain, std::vector<std::string>{"The client does not support IOPCShutdown."});
    EXPECT_TRUE(sink->reasons.empty());
}

TEST_F(Console, AClientLeavingWhileTheDialogIsOpenIsNotAsked)
{
    Client a;
    ASSERT_EQ(a.Connect(), S_OK);
    auto sink = MakeSink<TestShutdownSink>();
    AdviseShutdown(a, sink.get());
    auto console = Make();
    console->shutdownDialogRunner = [&](TShutDownDlg&) {
        a.server.reset();
        return true;
    };
    console->SDButtonClick();
    EXPECT_TRUE(sink->reasons.empty());
    EXPECT_TRUE(plain.empty());
}

TEST(ShutDownDlg, CaptionAndControls)
{
    TShutDownDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), "Select Server to Shutdown...");
    EXPECT_EQ(dlg.SelectedSlot(), -1);
    EXPECT_FALSE(dlg.Servers()->isEditable());
    EXPECT_TRUE(dlg.OkButton()->isDefault());
    dlg.AddServer(4);
    dlg.AddServer(30);
    EXPECT_EQ(dlg.Servers()->itemText(1), "31");
    EXPECT_EQ(dlg.SelectedSlot(), 4);
}

// ------------------------------------------------ process started by the bus

TEST_F(Console, TheEndComesWhenTheLastClientCreatedServerObjectGoes)
{
    int ends = 0;
    comserver::EndWhenLastServerObjectGoes([&] { ++ends; });
    Client a, b;
    ASSERT_EQ(a.Connect(), S_OK);
    ASSERT_EQ(b.Connect(), S_OK);
    ClientGroup g;
    ASSERT_EQ(a.AddGroup(g, "g"), S_OK);
    g.Release();
    a.server.reset();
    EXPECT_EQ(ends, 0) << "one client is left";
    b.server.reset();
    EXPECT_EQ(ends, 1);
    EXPECT_GT(consoleRefreshes, 0) << "chained after the hook that was there";

    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    c.server.reset();
    EXPECT_EQ(ends, 2);
}

// ------------------------------------------------------------- server list

TEST_F(ServerList, OwnEnumeratorListsTheCategorysServersByName)
{
    TOPCServerList list("", {CATID_OPCDAServer20});
    EXPECT_TRUE(list.UseEnumerator());
    EXPECT_EQ(list.Refresh(), 3);
    EXPECT_TRUE(list.EnumeratorReached());
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"Alpha.Server.1", "beta.Server", "zeta.Server.1"}));
    EXPECT_EQ(list.At(0).clsid, kAlpha);
    EXPECT_EQ(list.At(0).description, "Alpha server");
    EXPECT_EQ(list.At(0).vendor, "");

    // Two categories that yield the same server list it once.
    TOPCServerList both("", {CATID_OPCDAServer20, CATID_OPCDAServer10});
    EXPECT_EQ(both.Refresh(), 4);
    EXPECT_EQ(both.Names(), (std::vector<std::string>{"Alpha.Server.1", "beta.Server", "Old.Server", "zeta.Server.1"}));

    ASSERT_TRUE(registry::UnRegisterClassImplCategory(kBeta, CATID_OPCDAServer20));
    EXPECT_EQ(list.Refresh(), 2) << "refresh starts from an empty list";

    TOPCServerList none("", {});
    EXPECT_FALSE(none.UseEnumerator());
    EXPECT_EQ(none.Refresh(), 0);
    EXPECT_FALSE(none.EnumeratorReached());
}

TEST_F(ServerList, EnumeratorComponentAnswersBothInterfaces)
{
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateServerEnumerator("", CLSID_DA2, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(CreateServerEnumerator("plant7", CLSID_OpcServerList, IID_IUnknown, &p), RPC_S_SERVER_UNAVAILABLE);

    IOPCServerList* list = nullptr;
    ASSERT_EQ(CreateServerEnumerator("", CLSID_OpcServerList, IID_IOPCServerList, reinterpret_cast<void**>(&list)), S_OK);
    CATID category = CATID_OPCDAServer10;
    IEnumGUID* classes = nullptr;
    ASSERT_EQ(list->EnumClassesOfCategories(1, &category, 0, nullptr, &classes), S_OK);
    GUID got[4]{};
    ULONG fetched = 0;
    EXPECT_EQ(classes->Next(4, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(got[0], kAlpha);
    EXPECT_EQ(got[1], kOld);
    classes->Release();

    CLSID clsid{};
    EXPECT_EQ(list->CLSIDFromProgID(u"beta.Server", &clsid), S_OK);
    EXPECT_EQ(clsid, kBeta);
    EXPECT_EQ(list->CLSIDFromProgID(u"No.Such.Server", &clsid), CO_E_CLASSSTRING);

    IOPCServerList2* list2 = nullptr;
    ASSERT_EQ(list->QueryInterface(IID_IOPCServerList2, reinterpret_cast<void**>(&list2)), S_OK);
    LPOLESTR progId = nullptr, userType = nullptr, verInd = nullptr;
    ASSERT_EQ(list2->GetClassDetails(kZeta, &progId, &userType, &verInd), S_OK);
    EXPECT_EQ(AnsiFromWide(progId), "zeta.Server.1");
    EXPECT_EQ(AnsiFromWide(userType), "Zeta server");
    EXPECT_EQ(AnsiFromWide(verInd), "zeta.Server.1");
    for (LPOLESTR s : {progId, userType, verInd})
        CoTaskMemFree(s);
    progId = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(list2->GetClassDetails(kNoProgId, &progId, &userType, &verInd), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(progId, nullptr);

    // No implemented category asked for: every class; a class that requires
    // a category of its user only when that one is offered.
    ASSERT_TRUE(registry::CreateKey("CLSID\\" + GuidToString(kOld) + "\\Required Categories\\" +
                                    GuidToString(CATID_OPCDAServer20)));
    IOPCEnumGUID* all = nullptr;
    ASSERT_EQ(list2->EnumClassesOfCategories(0, nullptr, 0, nullptr, &all), S_OK);
    GUID many[8]{};
    EXPECT_EQ(all->Next(8, many, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 4u) << "all five classes but the one with a requirement";
    all->Release();
    CATID offered = CATID_OPCDAServer20;
    ASSERT_EQ(list2->EnumClassesOfCategories(0, nullptr, 1, &offered, &all), S_OK);
    EXPECT_EQ(all->Next(8, many, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 5u);
    all->Release();
    list2->Release();
    list->Release();
}

TEST_F(ServerList, AnOutsideEnumeratorWithTheOlderInterfaceOnly)
{
    constexpr CLSID kC1 = MakeGuid(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1), kC2 = MakeGuid(2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2),
                    kC3 = MakeGuid(3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3), kC4 = MakeGuid(4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4);
    auto fake = MakeSink<FakeServerList>(std::vector<FakeServerList::Entry>{
        {kC3, "zulu.Server"}, {kC1, "Mike.Server"}, {kC2, nullptr}, {kC1, "Mike.Server"}, {kC4, "MIKE.server"}});
    TOPCServerList list("", {CATID_OPCDAServer20, CATID_OPCDAServer10}, FactoryOf(fake.get()));
    EXPECT_EQ(list.Refresh(), 2);
    EXPECT_TRUE(list.EnumeratorReached());
    EXPECT_EQ(fake->enumerations, 2) << "one enumeration per category";
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"Mike.Server", "zulu.Server"}));
    EXPECT_EQ(list.At(0).clsid, kC1) << "the first of two names that differ in case only stays";
    EXPECT_EQ(list.At(1).description, "about zulu.Server");

    auto mute = MakeSink<FakeServerList>(std::vector<FakeServerList::Entry>{{kC1, "Mike.Server"}}, false);
    TOPCServerList neither("", {CATID_OPCDAServer20}, FactoryOf(mute.get()));
    EXPECT_EQ(neither.Refresh(), 0);
    EXPECT_FALSE(neither.EnumeratorReached());

    TOPCServerList absent("", {CATID_OPCDAServer20},
                          [](const std::string&, REFCLSID, REFIID, void**) { return REGDB_E_CLASSNOTREG; });
    EXPECT_EQ(absent.Refresh(), 0);
    EXPECT_FALSE(absent.EnumeratorReached());
}

TEST_F(ServerList, SelectionDialogShowsTheNamesInOrder)
{
    TfrmSelectServer dialog;
    EXPECT_EQ(dialog.windowTitle(), "Select OPC Server");
    EXPECT_NE(dialog.findChild<QLabel*>()->text().indexOf("Available Servers:"), -1);
    dialog.show();
    QListWidget* box = dialog.Servers();
    ASSERT_EQ(box->count(), 3);
    EXPECT_EQ(box->item(0)->text(), "Alpha.Server.1");
    EXPECT_EQ(box->item(2)->text(), "zeta.Server.1");
    EXPECT_EQ(dialog.SelectedServer(), "") << "nothing selected yet";
    box->setCurrentRow(1);
    EXPECT_EQ(dialog.SelectedServer(), "beta.Server");

    dialog.hide();
    AddServer(MakeGuid(0x60000000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6), "Gamma.Server", "Gamma", {CATID_OPCDAServer20});
    dialog.show();
    ASSERT_EQ(box->count(), 4) << "the list is built anew each time it is shown";
    EXPECT_EQ(box->item(2)->text(), "Gamma.Server");
}
