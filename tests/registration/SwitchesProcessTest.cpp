// The COM switches through the real program: register and unregister end at
// once, without a window or a message, in a store and a data folder of the
// test's own.
#include "TempRoots.h"

#include "DynamicLibrary.h"
#include "OPCDA.h"
#include "RegDeRegServer.h"
#include "RegistryStore.h"

#include <QProcess>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

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
        if (adjustEnvironment)
            adjustEnvironment(env);
        QProcess p;
        p.setProcessEnvironment(env);
        if (!workingFolder.isEmpty())
            p.setWorkingDirectory(workingFolder);
        if (asNobody)
            p.setChildProcessModifier([] {
                // Root may write anywhere: a store it cannot change needs
                // another user.
                if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
                    _exit(99);
            });
        p.start(Program(), args + QStringList{"--home", homeArgument.isEmpty() ? QString::fromStdString(Home()) : homeArgument});
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

    // Makes the test folders readable (not writable) by the other user.
    void OpenToOthers() { chmod(roots.Base().c_str(), 0755); }

    static constexpr uid_t kNobody = 65534;
    TempRoots roots; // also points this process's store at the same folders
    std::string out, err;
    std::function<void(QProcessEnvironment&)> adjustEnvironment;
    QString workingFolder, homeArgument;
    bool asNobody = false;
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
        EXPECT_EQ(comserver::ActivationFileContent(CLSID_DA2, Program().toStdString(), Home()),
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

// The copy the bus starts uses the home the program was registered with,
// given as an absolute path whatever the current folder was.
TEST_F(Switches, RegisterWithAHomeCarriesItIntoTheActivationFile)
{
    workingFolder = QString::fromStdString(roots.Base());
    homeArgument = "relative home";
    ASSERT_EQ(Run({"-regserver"}), 0) << err;
    const std::string service = roots.Data() + "/dbus-1/services/opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8.service";
    std::ifstream in(service);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(text.find(" -Embedding --home '" + roots.Base() + "/relative home'\n"), std::string::npos) << text;
}

// Unregister on a store the user cannot change: every removal is checked,
// the failure is said on standard error and in the exit code, and the bus
// can still start what the store still registers.
TEST_F(Switches, UnregisterThatCannotChangeTheStoreSaysSoAndFails)
{
    ASSERT_EQ(Run({"/regserver"}), 0) << err;
    const std::string service = roots.Data() + "/dbus-1/services/opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8.service";
    std::vector<std::string> frozen;
    if (geteuid() == 0) {
        asNobody = true;
        OpenToOthers();
    } else {
        for (const auto& e : fs::recursive_directory_iterator(roots.Registry()))
            if (e.is_directory())
                frozen.push_back(e.path().string());
        frozen.push_back(roots.Registry());
        for (const auto& f : frozen)
            chmod(f.c_str(), 0555);
    }
    EXPECT_EQ(Run({"-unregserver"}), 1);
    for (const auto& f : frozen)
        chmod(f.c_str(), 0755);
    EXPECT_NE(err.find("Error removing system registry entry"), std::string::npos) << err;
    EXPECT_EQ(LocalServer(), Program().toStdString());
    EXPECT_TRUE(fs::exists(service)) << "the activation file stays with its entry";
}

// Without a home of this user (HOME unset, the password database naming a
// folder that does not exist, relative XDG variables) nothing goes to a
// shared folder: the program says so and ends, in every mode.
TEST_F(Switches, WithoutAUsableHomeTheProgramSaysSoAndEnds)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs a user without a home folder (nobody), which only root can become";
    asNobody = true;
    OpenToOthers();
    adjustEnvironment = [](QProcessEnvironment& env) {
        for (const char* v : {"HOME", "LINVARO_REGISTRY_ROOT", "XDG_CONFIG_HOME", "XDG_STATE_HOME"})
            env.remove(v);
        env.insert("XDG_DATA_HOME", "relative/data");
    };
    auto ownedByNobody = [] {
        int n = 0;
        for (const char* shared : {"/tmp/linvaro", "/tmp/dbus-1", "/tmp/.local", "/tmp/.config"}) {
            std::error_code ec;
            for (fs::recursive_directory_iterator it(shared, ec), end; !ec && it != end; it.increment(ec)) {
                struct stat st{};
                if (lstat(it->path().c_str(), &st) == 0 && st.st_uid == kNobody)
                    ++n;
            }
        }
        return n;
    };
    const int before = ownedByNobody();
    for (const QStringList& args : {QStringList{"/regserver"}, QStringList{"/unregserver"}, QStringList{"--headless"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        EXPECT_EQ(Run(args), 1);
        EXPECT_NE(err.find("no usable home folder"), std::string::npos) << err;
    }
    EXPECT_EQ(ownedByNobody(), before) << "nothing of this user in a shared folder";
    EXPECT_FALSE(fs::exists(Home()));
}
