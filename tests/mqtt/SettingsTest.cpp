// Section "MQTT" of Linvaro.ini through the real support libraries.
#include "MqttSettings.h"
#include "SupportTestEnv.h"

#include <gtest/gtest.h>

using supporttest::libs;

class MqttSettingsTest : public supporttest::SupportTest {};

TEST_F(MqttSettingsTest, DefaultsTopicSafeIdsClampedNumbersAndTheEncryptedPassword)
{
    const std::string ini = dir.file("Linvaro.ini");
    supporttest::writeFile(ini, "[MQTT]\nEnabled=1\n");
    const MqttSettings d = ReadMqttSettings(libs().gn, libs().sc, ini);
    EXPECT_TRUE(d.enabled);
    EXPECT_EQ(d.broker, "tcp://localhost:1883");
    EXPECT_EQ(d.groupId, "Linvaro");
    EXPECT_EQ(d.edgeNodeId, HostName());
    EXPECT_EQ(d.clientId, d.edgeNodeId);
    EXPECT_TRUE(d.primaryHostId.empty());
    EXPECT_EQ(d.keepAlive, 30);
    EXPECT_EQ(d.storeLimit, 10000);
    EXPECT_TRUE(d.password.empty());

    supporttest::writeFile(ini, "[MQTT]\nBroker=ssl://broker:8883\nClient ID=gw-7\nUsername=edge\n"
                                "CA File=/etc/ca.pem\nCertificate=/etc/c.pem\nKey=/etc/k.pem\n"
                                "Group ID=Plant/North\nEdge Node ID=Dock#3\nPrimary Host ID=scada+1\n"
                                "Keep Alive=1\nStore Limit=many\n");
    MqttSettings s = ReadMqttSettings(libs().gn, libs().sc, ini);
    EXPECT_FALSE(s.enabled);
    EXPECT_EQ(s.broker, "ssl://broker:8883");
    EXPECT_EQ(s.clientId, "gw-7");
    EXPECT_EQ(s.username, "edge");
    EXPECT_EQ(s.caFile, "/etc/ca.pem");
    EXPECT_EQ(s.certificate, "/etc/c.pem");
    EXPECT_EQ(s.key, "/etc/k.pem");
    EXPECT_EQ(s.groupId, "Plant_North");
    EXPECT_EQ(s.edgeNodeId, "Dock_3");
    EXPECT_EQ(s.primaryHostId, "scada_1");
    EXPECT_EQ(s.keepAlive, 5) << "clamped to the smallest keep-alive";
    EXPECT_EQ(s.storeLimit, 10000) << "not a number: the default";

    std::string error;
    ASSERT_TRUE(WriteMqttPassword(libs().gn, libs().sc, ini, "s3cr=t;", error)) << error;
    const std::string file = supporttest::readFile(ini);
    EXPECT_EQ(file.find("s3cr=t;"), std::string::npos) << "never stored in plain text";
    EXPECT_NE(file.find("Username=edge"), std::string::npos) << "the other keys stay";
    s = ReadMqttSettings(libs().gn, libs().sc, ini);
    EXPECT_EQ(s.password, "s3cr=t;");

    // A password another user's key encrypted (or a damaged one) reads as none.
    libs().gn.SetInitSettingStr("MQTT", "Password", "AAAAdamaged", ini.c_str());
    EXPECT_TRUE(ReadMqttSettings(libs().gn, libs().sc, ini).password.empty());
}
