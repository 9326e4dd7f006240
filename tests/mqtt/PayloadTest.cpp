// The payload codec and topic names, against the wire schema's rules.
#include "SparkplugPayload.h"
#include "SparkplugTopic.h"

#include <gtest/gtest.h>

using namespace sparkplug;

TEST(SparkplugPayload, EveryValueKindSurvivesTheWireWithItsDataType)
{
    Payload p;
    p.timestamp = 1700000000123;
    p.seq = 255;
    p.metrics.push_back(Metric::UInt("bdSeq", DataType::UInt64, 0xFFFFFFFFFFull + 7, 0));
    p.metrics.push_back(Metric::UInt("Errors", DataType::UInt32, 0xFFFFFFFFu, 5));
    p.metrics.push_back(Metric::Bool("Node Control/Rebirth", true, 6));
    p.metrics.push_back(Metric::Text("Value", std::string("W+\xB0\x01\r\n", 6), 7));
    Metric d{"Level", static_cast<std::uint32_t>(DataType::Double), 8, true, false, 2.5};
    p.metrics.push_back(d);
    Metric null{"Empty", static_cast<std::uint32_t>(DataType::String), 9, false, true, std::monostate{}};
    p.metrics.push_back(null);

    const auto back = Decode(Encode(p));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->timestamp, p.timestamp);
    ASSERT_TRUE(back->seq);
    EXPECT_EQ(*back->seq, 255u);
    ASSERT_EQ(back->metrics.size(), p.metrics.size());
    EXPECT_EQ(std::get<std::uint64_t>(back->metrics[0].value), 0xFFFFFFFFFFull + 7);
    EXPECT_EQ(back->metrics[0].timestamp, 0u) << "no time stamp when none was given";
    EXPECT_EQ(std::get<std::uint64_t>(back->metrics[1].value), 0xFFFFFFFFu);
    EXPECT_EQ(back->metrics[1].datatype, 7u);
    EXPECT_TRUE(std::get<bool>(back->metrics[2].value));
    EXPECT_EQ(Utf8ToBytes(std::get<std::string>(back->metrics[3].value)), std::string("W+\xB0\x01\r\n", 6));
    EXPECT_EQ(std::get<std::string>(back->metrics[3].value), "W+\xC2\xB0\x01\r\n") << "Latin-1 as UTF-8";
    EXPECT_TRUE(back->metrics[4].historical);
    EXPECT_DOUBLE_EQ(std::get<double>(back->metrics[4].value), 2.5);
    EXPECT_TRUE(back->metrics[5].isNull);
    EXPECT_EQ(back->metrics[5].timestamp, 9u);

    // A death certificate has no seq at all.
    Payload death;
    death.metrics.push_back(Metric::UInt("bdSeq", DataType::UInt64, 3, 0));
    EXPECT_FALSE(Decode(Encode(death))->seq.has_value());
}

TEST(SparkplugPayload, KnownWireBytesDecodeAndGarbageIsRefused)
{
    // timestamp 1, seq 2, one metric {name "a", datatype 12, string_value "x"}.
    const std::string wire("\x08\x01\x18\x02\x12\x08\x0A\x01" "a" "\x20\x0C\x7A\x01" "x", 14);
    const auto p = Decode(wire);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->timestamp, 1u);
    EXPECT_EQ(*p->seq, 2u);
    ASSERT_EQ(p->metrics.size(), 1u);
    EXPECT_EQ(p->metrics[0].name, "a");
    EXPECT_EQ(std::get<std::string>(p->metrics[0].value), "x");

    std::string error;
    EXPECT_FALSE(Decode(std::string("\x12\x40\x0A", 3), &error)) << "a metric longer than the payload";
    EXPECT_NE(error.find("not a Sparkplug B payload"), std::string::npos);
    EXPECT_FALSE(Decode("{\"metrics\":[]}"));
}

TEST(SparkplugPayload, TextMapsPortBytesOneCharacterEach)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(Utf8ToBytes(BytesToUtf8(all)), all);
    EXPECT_EQ(Utf8ToBytes("\xE2\x82\xAC" "5"), "?5") << "a character beyond Latin-1";
    // Bytes that are not UTF-8 stand for the Latin-1 character of their
    // value, as everywhere else in the program.
    EXPECT_EQ(Utf8ToBytes("\xC3"), "\xC3") << "a truncated sequence";
    EXPECT_EQ(Utf8ToBytes("\x80" "A"), "\x80" "A") << "a stray continuation byte";
    Payload p;
    p.seq = 4;
    p.metrics.push_back(Metric::Text("Value", "say \"hi\"\r", 9));
    EXPECT_EQ(ToJson(p), "{\"timestamp\":0,\"seq\":4,\"metrics\":[{\"name\":\"Value\",\"type\":\"String\","
                         "\"timestamp\":9,\"value\":\"say \\\"hi\\\"\\u000d\"}]}");
}

TEST(SparkplugTopic, IdsAndTopicsFollowTheNamespaceRules)
{
    EXPECT_EQ(SanitizeId("Scale #1/Line+2"), "Scale _1_Line_2");
    EXPECT_EQ(SanitizeId(""), "_");
    EXPECT_EQ(SanitizeId("tab\there"), "tab_here");
    EXPECT_EQ(SanitizeId("Waage Ä"), "Waage Ä") << "UTF-8 stays";
    EXPECT_TRUE(ValidId("Dock 3"));
    EXPECT_FALSE(ValidId("a/b"));
    EXPECT_EQ(TopicOf("G", "DDATA", "N", "D"), "spBv1.0/G/DDATA/N/D");
    EXPECT_EQ(TopicOf("G", "NBIRTH", "N"), "spBv1.0/G/NBIRTH/N");
    EXPECT_EQ(StateTopicOf("scada"), "spBv1.0/STATE/scada");

    struct Case {
        const char* text;
        bool valid;
        const char* type;
        const char* device;
    };
    const Case cases[] = {
        {"spBv1.0/G/NCMD/N", true, "NCMD", ""},
        {"spBv1.0/G/DCMD/N/Scale 1", true, "DCMD", "Scale 1"},
        {"spBv1.0/STATE/host", true, "STATE", ""},
        {"spBv1.0/G/DCMD/N", false, "", ""},        // device type without device
        {"spBv1.0/G/NCMD/N/D", false, "", ""},      // node type with a device
        {"spBv1.0/G/XCMD/N", false, "", ""},
        {"spBv1.0/G//N", false, "", ""},
        {"spAv1.0/G/NCMD/N", false, "", ""},
        {"spBv1.0/G/DCMD/N/D/E", false, "", ""},
        {"spBv1.0/STATE/host/x", false, "", ""},
    };
    for (const Case& c : cases) {
        const auto t = ParseTopic(c.text);
        EXPECT_EQ(t.has_value(), c.valid) << c.text;
        if (t && c.valid) {
            EXPECT_EQ(t->type, c.type) << c.text;
            EXPECT_EQ(t->device, c.device) << c.text;
        }
    }
}
