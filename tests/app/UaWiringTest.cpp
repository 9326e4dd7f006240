// The OPC UA endpoint as the program starts it: its keys in Linvaro.ini and
// what the activity log says when it cannot listen or listens widely.
#include "ControllerFixture.h"
#include "Endpoint.h"
#include "UaEndpointWiring.h"

#include <QTcpServer>

#include <fstream>

namespace {

class UaWiring : public ControllerFixture {
protected:
    void WriteIni(const std::string& section)
    {
        std::ofstream(Folder() + MainController::kIniFile) << section;
    }
    bool LogHas(const std::string& start) const
    {
        for (const auto& l : Log())
            if (l.rfind(start, 0) == 0)
                return true;
        return false;
    }
    static quint16 FreePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }
};

} // namespace

TEST_F(UaWiring, KeysOfTheOpcUaSectionWithTheirDefaults)
{
    const std::string ini = Folder() + MainController::kIniFile;
    UaSettings s = ReadUaSettings(libs.gn, ini);
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.port, 4840);
    EXPECT_EQ(s.listen, "127.0.0.1");
    WriteIni("[OPC UA]\nEnabled=0\nPort=4999\nListen=0.0.0.0\n");
    s = ReadUaSettings(libs.gn, ini);
    EXPECT_FALSE(s.enabled);
    EXPECT_EQ(s.port, 4999);
    EXPECT_EQ(s.listen, "0.0.0.0");
    for (const char* bad : {"abc", "70000", "0", "48 40"}) {
        WriteIni(std::string("[OPC UA]\nPort=") + bad + "\n");
        EXPECT_EQ(ReadUaSettings(libs.gn, ini).port, 0) << bad;
    }

    // Security: both policies; None and Anonymous on the loopback interface
    // only, unless the keys say otherwise; no first-use trust.
    WriteIni("[OPC UA]\n");
    s = ReadUaSettings(libs.gn, ini);
    EXPECT_EQ(s.policies, (std::vector<std::string>{"Basic256Sha256", "Aes128_Sha256_RsaOaep"}));
    EXPECT_TRUE(s.allowNone);
    EXPECT_TRUE(s.allowAnonymous);
    EXPECT_FALSE(s.trustNewClients);
    WriteIni("[OPC UA]\nListen=192.168.7.2\nSecurityPolicies=Aes128_Sha256_RsaOaep; Basic128Rsa15\n");
    s = ReadUaSettings(libs.gn, ini);
    EXPECT_EQ(s.policies, std::vector<std::string>{"Aes128_Sha256_RsaOaep"});
    EXPECT_EQ(s.unknownPolicies, std::vector<std::string>{"Basic128Rsa15"});
    EXPECT_FALSE(s.allowNone);
    EXPECT_FALSE(s.allowAnonymous);
    WriteIni("[OPC UA]\nListen=0.0.0.0\nAllowSecurityNone=1\nAllowAnonymous=yes\nTrustNewClients=1\n");
    s = ReadUaSettings(libs.gn, ini);
    EXPECT_TRUE(s.allowNone);
    EXPECT_TRUE(s.allowAnonymous);
    EXPECT_TRUE(s.trustNewClients);
    WriteIni("[OPC UA]\nListen=127.0.0.1\nAllowSecurityNone=0\nAllowAnonymous=0\n");
    s = ReadUaSettings(libs.gn, ini);
    EXPECT_FALSE(s.allowNone);
    EXPECT_FALSE(s.allowAnonymous);
}

TEST_F(UaWiring, APortInUseIsLoggedAndTheProgramRunsOn)
{
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    const std::string port = std::to_string(taken.serverPort());
    WriteIni("[OPC UA]\nPort=" + port + "\n");
    MainController& c = Make();
    c.Create();
    EXPECT_EQ(StartUaEndpoint(c, libs.gn), nullptr);
    EXPECT_TRUE(LogHas("OPC UA endpoint cannot listen on 127.0.0.1:" + port + ": "));

    WriteIni("[OPC UA]\nEnabled=0\n");
    EXPECT_EQ(StartUaEndpoint(c, libs.gn), nullptr);
    EXPECT_TRUE(Logged("OPC UA endpoint disabled in Linvaro.ini."));

    // Open to the network: secured, without a warning; None allowed there
    // is warned of at each start; without a policy and None it stays shut.
    const std::string free = std::to_string(FreePort());
    WriteIni("[OPC UA]\nPort=" + free + "\nListen=0.0.0.0\n");
    auto endpoint = StartUaEndpoint(c, libs.gn);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_TRUE(Logged("OPC UA endpoint opc.tcp://0.0.0.0:" + free + " ready."));
    EXPECT_FALSE(LogHas("Warning: the OPC UA endpoint"));
    endpoint.reset();
    WriteIni("[OPC UA]\nPort=" + free + "\nListen=0.0.0.0\nAllowSecurityNone=1\n");
    endpoint = StartUaEndpoint(c, libs.gn);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_TRUE(LogHas("Warning: the OPC UA endpoint listens on 0.0.0.0 and allows SecurityPolicy None"));
    EXPECT_FALSE(LogHas("allows anonymous users"));
    endpoint.reset();
    WriteIni("[OPC UA]\nPort=" + free + "\nListen=0.0.0.0\nSecurityPolicies=\n");
    EXPECT_EQ(StartUaEndpoint(c, libs.gn), nullptr);
    EXPECT_TRUE(LogHas("OPC UA endpoint not started: it has no security policy"));
}
