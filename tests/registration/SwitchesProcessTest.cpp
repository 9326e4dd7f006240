// The COM switches through the real program: register and unregister end at
// once, without a window or a message, in a store and a data folder of the
// test's own.
#include "TempRoots.h"

#include "DynamicLibrary.h"
#include "OPCDA.h"
#include "RegDeRegServer.h"
#include "RegistryStore.h"

#include <QProcess>

namespace fs = std::filesystem;

namespace {

class Switches : public ::testing::Test {
protected:
    // Runs the program with args and no display: a window would make it fail.
    int Run(const QStringList& args, const std::string& registryRoot = {}, const std::string& dataHome = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LINVARO_REGISTRY_ROOT", QString::fromStdString(registryRoot.empty() ? roots.Registry() : registryRoot));
        env.insert("XDG_DATA_HOME", QString::fromStdString(dataHome.empty() ? roots.Data() : dataHome));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString(roots.Base() + "/config"));
        env.insert("XDG_STATE_HOME", QString::fromStdString(roots.Base() + "/state"));
        for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(v);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(Program(), args + QStringList{"--home", QString::fromStdString(Home())});
        EXPECT_TRUE(p.waitForFinished(20000)) << "did not end by itself";
        out = p.readAllStandardOutput().toStdString();
        err = p.readAllStandardError().toStdString();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    static QString Program() { return QString::fromStdString(ProgramFolder() + "linvaro"); }
    std::string Home() const { return roots.Base() + "/home"; }
    std::string LocalServer() const
    {
        return registry::GetDefault("CLSID\\" + GuidToString(CLSID_DA2) + "\\LocalServer32").value_or("<none>");
    }

    TempRoots roots; // also points this process's store at the same folders
    std::string out, err;
};

} // namespace

TEST_F(Switches, RegisterInAnySpellingWritesTheStoreAndEndsWithoutAWindow)
{
    for (const char* sw : {"/regserver", "-RegServer", "/REGSERVER"}) {
        SCOPED_TRACE(sw);
        fs::remove_all(roots.Registry());
        fs::remove_all(roots.Data());
        EXPECT_EQ(Run({sw}), 0) << err;
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "") << "no message";
        EXPECT_FALSE(fs::exists(Home())) << "the main window's start-up did not run";
        EXPECT_EQ(LocalServer(), Program().toStdString());
        EXPECT_EQ(registry::ClsidFromProgId("Linvaro.DA2"), CLSID_DA2);
        const std::string service = roots.Data() + "/dbus-1/services/opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8.service";
        EXPECT_EQ(comserver::ActivationFileContent(CLSID_DA2, Program().toStdString()),
                  [&] { std::ifstream in(service); return std::string(std::istreambuf_iterator<char>(in), {}); }());
    }
}

TEST_F(Switches, UnregisterRemovesWhatRegisterWrote)
{
    ASSERT_EQ(Run({"/regserver"}), 0) << err;
    EXPECT_EQ(Run({"-UNREGSERVER"}), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_FALSE(fs::exists(Home()));
    EXPECT_TRUE(registry::SubKeys("CLSID").empty());
    EXPECT_EQ(registry::ClsidFromProgId("Linvaro.DA2"), std::nullopt);
    EXPECT_TRUE(fs::is_empty(roots.Data() + "/dbus-1/services"));
}

TEST_F(Switches, RegisterThatCannotWriteSaysSoAndFails)
{
    EXPECT_EQ(Run({"/regserver"}, roots.Registry(), roots.File()), 1);
    EXPECT_NE(err.find("Error creating system registry entry"), std::string::npos) << err;
    EXPECT_EQ(LocalServer(), "<none>") << "no entry the bus could not start";
    EXPECT_FALSE(fs::exists(roots.Data()));
}
