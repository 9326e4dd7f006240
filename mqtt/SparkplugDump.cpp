// linvaro-sparkplug-dump: subscribes to a broker and prints each message as
// one JSON line, {"t":<arrival ms>,"topic":"...","payload":{...}}, decoded
// with this program's own Sparkplug B codec (STATE and other text payloads
// as "text"). Prints "subscribed" first, once the subscription stands.
//
//   linvaro-sparkplug-dump [--broker URL] [--topic FILTER] [--count N]
//       [--seconds S] [--raw DIR] [--cafile F --cert F --key F]
//   mosquitto_sub -t 'spBv1.0/#' -F '%t %x' | linvaro-sparkplug-dump --stdin
//       decodes what another client received: "<topic> <payload in hex>" a line
#include "SparkplugPayload.h"
#include "SparkplugTopic.h"

#include <mqtt/async_client.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <fstream>
#include <iostream>
#include <string>

namespace {

std::string jsonText(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            out += '\\', out += static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7F)
            out += "\\u00" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string hexToBytes(const std::string& hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// One JSON line for one message.
void print(std::int64_t t, const std::string& topicText, const std::string& payload)
{
    std::string body;
    const auto topic = sparkplug::ParseTopic(topicText);
    std::string error;
    if (topic && topic->type != "STATE") {
        if (const auto p = sparkplug::Decode(payload, &error))
            body = "\"payload\":" + sparkplug::ToJson(*p);
        else
            body = "\"error\":" + jsonText(error);
    } else {
        body = "\"text\":" + jsonText(payload);
    }
    std::printf("{\"t\":%lld,\"topic\":%s,%s}\n", static_cast<long long>(t), jsonText(topicText).c_str(), body.c_str());
    std::fflush(stdout);
}

int decodeStandardInput()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        const std::size_t space = line.rfind(' ');
        if (space == std::string::npos)
            continue;
        try {
            print(nowMs(), line.substr(0, space), hexToBytes(line.substr(space + 1)));
        } catch (const std::exception&) {
            std::fprintf(stderr, "linvaro-sparkplug-dump: not \"<topic> <hex>\": %s\n", line.c_str());
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string broker = "tcp://localhost:1883", filter = "spBv1.0/#", raw, cafile, cert, key;
    long count = -1;
    double seconds = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--broker" && hasValue)
            broker = argv[++i];
        else if (a == "--topic" && hasValue)
            filter = argv[++i];
        else if (a == "--count" && hasValue)
            count = std::atol(argv[++i]);
        else if (a == "--seconds" && hasValue)
            seconds = std::atof(argv[++i]);
        else if (a == "--raw" && hasValue)
            raw = argv[++i];
        else if (a == "--cafile" && hasValue)
            cafile = argv[++i];
        else if (a == "--cert" && hasValue)
            cert = argv[++i];
        else if (a == "--key" && hasValue)
            key = argv[++i];
        else if (a == "--stdin")
            return decodeStandardInput();
        else {
            std::fprintf(stderr, "usage: linvaro-sparkplug-dump [--broker URL] [--topic FILTER] [--count N] "
                                 "[--seconds S] [--raw DIR] [--cafile F --cert F --key F]\n");
            return 2;
        }
    }
    try {
        mqtt::async_client client(broker, "linvaro-dump-" + std::to_string(nowMs()) + "-" + std::to_string(getpid()),
                                  mqtt::create_options(MQTTVERSION_3_1_1));
        mqtt::connect_options options;
        options.set_clean_session(true);
        options.set_connect_timeout(10);
        if (broker.rfind("ssl://", 0) == 0) {
            mqtt::ssl_options ssl;
            if (!cafile.empty())
                ssl.set_trust_store(cafile);
            if (!cert.empty())
                ssl.set_key_store(cert);
            if (!key.empty())
                ssl.set_private_key(key);
            options.set_ssl(ssl);
        }
        client.start_consuming();
        client.connect(options)->wait();
        client.subscribe(filter, 1)->wait();
        std::printf("subscribed\n");
        std::fflush(stdout);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
        std::ofstream index;
        if (!raw.empty())
            index.open(raw + "/index.txt");
        long seen = 0;
        while (count < 0 || seen < count) {
            if (seconds >= 0 && std::chrono::steady_clock::now() >= end)
                break;
            mqtt::const_message_ptr msg;
            if (!client.try_consume_message_for(&msg, std::chrono::milliseconds(100)))
                continue;
            if (!msg) // the connection went
                break;
            const std::int64_t t = nowMs();
            const std::string& payload = msg->get_payload_str();
            if (!raw.empty()) {
                char name[32];
                std::snprintf(name, sizeof name, "%06ld.bin", seen);
                std::ofstream(raw + "/" + name, std::ios::binary) << payload;
                index << name << ' ' << msg->get_topic() << '\n' << std::flush;
            }
            print(t, msg->get_topic(), payload);
            ++seen;
        }
        client.disconnect()->wait_for(std::chrono::seconds(2));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "linvaro-sparkplug-dump: %s\n", e.what());
        return 1;
    }
    return 0;
}
