// Start modes from the switches, the framework registration with its D-Bus
// activation files, and the OPC-specific keys with the component category.
#include "TempRoots.h"

#include "OPCDA.h"
#include "RegDeRegServer.h"
#include "RegistryStore.h"

#include <fstream>

namespace fs = std::filesystem;
using comserver::StartMode;

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Cls(REFCLSID clsid, const std::string& sub = "")
{
    return "CLSID\\" + GuidToString(clsid) + (sub.empty() ? "" : "\\" + sub);
}

class Registration : public ::testing::Test {
protected:
    TempRoots roots;
    const std::string program = "/opt/linvaro/bin/linvaro";
};

} // namespace

TEST(StartModeTest, FirstApplicableSwitchWinsInAnyCaseAfterDashOrSlash)
{
    const std::pair<std::vector<std::string>, StartMode> cases[] = {
        {{}, StartMode::Normal},
        {{"/regserver"}, StartMode::RegServer},
        {{"-RegServer"}, StartMode::RegServer},
        {{"/REGSERVER"}, StartMode::RegServer},
        {{"-unregserver"}, StartMode::UnregServer},
        {{"/UnRegServer"}, StartMode::UnregServer},
        {{"/Embedding"}, StartMode::Automation},
        {{"-automation"}, StartMode::Automation},
        {{"/unregserver", "/regserver"}, StartMode::RegServer},
        {{"/regserver", "-Embedding"}, StartMode::Automation},
        {{"regserver"}, StartMode::Normal},
        {{"--regserver"}, StartMode::Normal},
        {{"/regserverx"}, StartMode::Normal},
        {{"/"}, StartMode::Normal},
    };
    for (const auto& [args, mode] : cases) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(comserver::StartModeFromArgs(args), mode) << joined;
    }
}

TEST_F(Registration, FrameworkRegistrationWritesEveryClassOfTheTable)
{
    ASSERT_TRUE(comserver::WriteFrameworkRegistration(program));

    EXPECT_EQ(registry::GetDefault(Cls(CLSID_DA2)), "Quorbel DA Object");
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_DA2, "LocalServer32")), program);
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_DA2, "ProgID")), "Linvaro.DA2");
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_DA2, "Version")), "2.0");
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_DA2, "TypeLib")), "{33574FF1-C77D-4921-A97E-507C1EE22771}");
    EXPECT_EQ(registry::GetDefault("Linvaro.DA2"), "Quorbel DA Object");
    EXPECT_EQ(registry::ClsidFromProgId("Linvaro.DA2"), CLSID_DA2);

    EXPECT_EQ(registry::GetDefault(Cls(CLSID_OPCGroup)), "OPCGroup Object");
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_OPCGroup, "Version")), "2.0");
    EXPECT_EQ(registry::ClsidFromProgId("Linvaro.OPCGroup"), CLSID_OPCGroup);

    // The enumerators are not described by the type library, and two of
    // them share one class ID.
    for (const char* progId : {"Linvaro.TOPCStringsEnumerator", "Linvaro.TMRDUnknownEnumerator"})
        EXPECT_EQ(registry::ClsidFromProgId(progId), CLSID_OPCEnumerators) << progId;
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_OPCEnumerators)), "QuorbelLinvaro");
    EXPECT_FALSE(registry::KeyExists(Cls(CLSID_OPCEnumerators, "Version")));
    EXPECT_EQ(registry::ClsidFromProgId("Linvaro.TOPCItemAttEnumerator"), IID_IEnumOPCItemAttributes);
    EXPECT_EQ(registry::SubKeys("CLSID").size(), 4u);

    EXPECT_EQ(registry::GetDefault("TypeLib\\{33574FF1-C77D-4921-A97E-507C1EE22771}\\2.0"),
              "Quorbel Linvaro OPC Library");
    EXPECT_EQ(registry::GetDefault("TypeLib\\{33574FF1-C77D-4921-A97E-507C1EE22771}\\2.0\\HELPDIR"),
              "/opt/linvaro/bin/");
}

// Only the class served on the bus can be started by the bus: a client that
// asks for a group or an enumerator class directly gets "no such service" at
// once instead of waiting for the bus's time-out beside a stray copy. Files
// an earlier registration wrote for those classes go.
TEST_F(Registration, OnlyTheClassServedOnTheBusHasAnActivationFile)
{
    const std::string folder = roots.Data() + "/dbus-1/services/";
    fs::create_directories(folder);
    const std::string stale = folder + "opc.clsid._C4AB07C8_0504_4302_AA3C_A4F1A618F9F8.service";
    std::ofstream(stale) << "[D-BUS Service]\nName=opc.clsid._C4AB07C8_0504_4302_AA3C_A4F1A618F9F8\nExec=/old -Embedding\n";
    ASSERT_TRUE(comserver::WriteFrameworkRegistration(program, "/srv/linvaro home"));
    EXPECT_EQ(ReadFile(folder + "opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8.service"),
              "[D-BUS Service]\nName=opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8\n"
              "Exec=/opt/linvaro/bin/linvaro -Embedding --home '/srv/linvaro home'\n");
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(folder))
        files.push_back(e.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8.service"});
    for (const auto& c : comserver::ClassTable()) {
        EXPECT_EQ(c.servedOnBus, c.clsid == CLSID_DA2) << c.className;
        EXPECT_TRUE(registry::KeyExists(Cls(c.clsid, "LocalServer32"))) << c.className << ": the store keeps every class";
    }

    // A blank in the path: the program stays one word of either command line.
    ASSERT_TRUE(comserver::SetLocalServer32(CLSID_DA2, "/home/ann/My Programs/linvaro"));
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_DA2, "LocalServer32")), "\"/home/ann/My Programs/linvaro\"");
    EXPECT_NE(ReadFile(comserver::ActivationFilePath(CLSID_DA2)).find("Exec='/home/ann/My Programs/linvaro' -Embedding\n"),
              std::string::npos);
    EXPECT_EQ(comserver::ActivationFileContent(CLSID_DA2, "/a/it's"),
              "[D-BUS Service]\nName=opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8\nExec='/a/it'\\''s' -Embedding\n");
}

TEST_F(Registration, NoLocalServerEntryWithoutItsActivationFile)
{
    setenv("XDG_DATA_HOME", roots.File().c_str(), 1); // the service folder cannot be made
    EXPECT_FALSE(comserver::WriteFrameworkRegistration(program));
    EXPECT_FALSE(registry::KeyExists(Cls(CLSID_DA2, "LocalServer32")));
    EXPECT_FALSE(comserver::RunStartupWork(StartMode::RegServer, program));
    EXPECT_TRUE(comserver::RunStartupWork(StartMode::Normal, program)) << "a normal start goes on";
    EXPECT_TRUE(comserver::RunStartupWork(StartMode::Automation, program));
}

// A key unregister cannot remove (a file the store did not write keeps it)
// makes the mode fail; the activation file stays with its entry, and a key
// that stays only because other entries live below it is no failure.
TEST_F(Registration, UnregisterReportsWhatItCouldNotRemove)
{
    ASSERT_TRUE(comserver::RunStartupWork(StartMode::RegServer, program));
    ASSERT_TRUE(registry::RegisterClassImplCategory(CLSID_DA2, CATID_OPCDAServer20));
    EXPECT_TRUE(comserver::RunStartupWork(StartMode::UnregServer, program)) << "the category keeps the class key";
    EXPECT_TRUE(registry::KeyExists(Cls(CLSID_DA2)));

    ASSERT_TRUE(comserver::RunStartupWork(StartMode::RegServer, program));
    std::ofstream(roots.Registry() + "/CLSID/" + GuidToString(CLSID_DA2) + "/LocalServer32/foreign") << "x";
    EXPECT_FALSE(comserver::RunStartupWork(StartMode::UnregServer, program));
    EXPECT_TRUE(registry::KeyExists(Cls(CLSID_DA2, "LocalServer32")));
    EXPECT_TRUE(fs::exists(comserver::ActivationFilePath(CLSID_DA2)));
    EXPECT_FALSE(registry::KeyExists("Linvaro.OPCGroup")) << "every other key was still removed";
}

TEST_F(Registration, UnregisterModeRemovesTheFrameworkRegistration)
{
    ASSERT_TRUE(comserver::RunStartupWork(StartMode::RegServer, program));
    ASSERT_TRUE(comserver::RunStartupWork(StartMode::UnregServer, program));
    for (const char* key : {"CLSID", "Linvaro.DA2", "Linvaro.OPCGroup", "TypeLib", "Interface"})
        EXPECT_TRUE(registry::SubKeys(key).empty()) << key;
    EXPECT_TRUE(fs::is_empty(roots.Data() + "/dbus-1/services"));
    EXPECT_TRUE(comserver::RunStartupWork(StartMode::UnregServer, program)) << "nothing left to remove is fine";
}

TEST_F(Registration, RegisterWritesTheOpcKeysAndJoinsTheCategory)
{
    ASSERT_TRUE(comserver::WriteFrameworkRegistration(program));
    std::string error;
    ASSERT_TRUE(comserver::RegisterOpcServer(error));
    EXPECT_EQ(registry::GetDefault("QuorbelLinvaro.DA2.1"), "Quorbel Linvaro Data Access Server Version 2.0");
    EXPECT_EQ(registry::ClsidFromProgId("QuorbelLinvaro.DA2.1"), CLSID_DA2);
    EXPECT_EQ(registry::GetDefault("QuorbelLinvaro.DA2.1\\OPC"), "");
    EXPECT_EQ(registry::GetDefault("QuorbelLinvaro.DA2.1\\OPC\\Vendor"), "Quorbel");
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_DA2)), "Quorbel Linvaro OPC Data Access");
    EXPECT_EQ(registry::ProgIdFromClsid(CLSID_DA2), "QuorbelLinvaro.DA2.1");
    EXPECT_EQ(registry::ClassesOfCategory(CATID_OPCDAServer20), std::vector<CLSID>{CLSID_DA2});
    EXPECT_EQ(registry::GetDefault("Component Categories\\" + GuidToString(CATID_OPCDAServer20)),
              "Quorbel Linvaro OPC Data Access");

    // A normal start afterwards puts the framework's entries back; the OPC
    // keys and the category stay.
    ASSERT_TRUE(comserver::RunStartupWork(StartMode::Normal, program));
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_DA2)), "Quorbel DA Object");
    EXPECT_EQ(registry::ProgIdFromClsid(CLSID_DA2), "Linvaro.DA2");
    EXPECT_EQ(registry::ClsidFromProgId("QuorbelLinvaro.DA2.1"), CLSID_DA2);
    EXPECT_EQ(registry::ClassesOfCategory(CATID_OPCDAServer20), std::vector<CLSID>{CLSID_DA2});
}

TEST_F(Registration, UnregisterLeavesTheClassKeyWithItsLocalServer)
{
    ASSERT_TRUE(comserver::WriteFrameworkRegistration(program));
    std::string error;
    ASSERT_TRUE(comserver::RegisterOpcServer(error));
    comserver::UnregisterOpcServer();
    EXPECT_FALSE(registry::KeyExists("QuorbelLinvaro.DA2.1"));
    EXPECT_EQ(registry::ClsidFromProgId("QuorbelLinvaro.DA2.1"), std::nullopt);
    EXPECT_TRUE(registry::ClassesOfCategory(CATID_OPCDAServer20).empty());
    EXPECT_FALSE(registry::KeyExists(Cls(CLSID_DA2, "ProgID")));
    EXPECT_EQ(registry::GetDefault(Cls(CLSID_DA2, "LocalServer32")), program);
    EXPECT_TRUE(fs::exists(comserver::ActivationFilePath(CLSID_DA2)));
    EXPECT_EQ(registry::ClsidFromProgId("Linvaro.DA2"), CLSID_DA2) << "the framework's ProgID is not touched";
}

TEST_F(Registration, RegisterStopsAtTheFirstKeyThatCannotBeWritten)
{
    // The ProgID's place holds a damaged key: its value cannot be written.
    ASSERT_TRUE(registry::CreateKey("QuorbelLinvaro.DA2.1\\OPC"));
    fs::create_directory(roots.Registry() + "/QuorbelLinvaro.DA2.1/OPC/@");
    std::string error;
    EXPECT_FALSE(comserver::RegisterOpcServer(error));
    EXPECT_EQ(error, "Error creating system registry entry");
    EXPECT_EQ(registry::ClsidFromProgId("QuorbelLinvaro.DA2.1"), CLSID_DA2) << "keys written before stay";
    EXPECT_FALSE(registry::KeyExists("QuorbelLinvaro.DA2.1\\OPC\\Vendor"));
    EXPECT_TRUE(registry::ClassesOfCategory(CATID_OPCDAServer20).empty());
}
