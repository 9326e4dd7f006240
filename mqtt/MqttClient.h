#pragma once
// The Paho MQTT adapter: one asynchronous client to one broker. Every call
// returns at once (Paho sends from its own threads); nothing here waits for
// the broker except the bounded goodbye in the destructor.
//
// Threads: the calls are made from one thread (the owner's). The events are
// called on Paho's threads; the owner hands them to its own thread. After the
// destructor has begun, no event is called any more.
//
// Each Connect is one attempt with the given will; reconnecting is the
// owner's decision (it needs a new will each session), so Paho's own
// automatic reconnect is off.
#include "MqttSettings.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mqtt {
class async_client;
}

class MqttClient {
public:
    struct Events {
        std::function<void()> connected;
        std::function<void(const std::string& reason)> connectFailed;
        std::function<void(const std::string& reason)> lost;
        std::function<void(const std::string& topic, const std::string& payload)> message;
    };

    // Throws nothing; a broker address Paho cannot use makes every Connect
    // report connectFailed with the reason.
    MqttClient(const MqttSettings& settings, Events events);
    // Ends the session gracefully when connected: publishes the goodbye
    // message given to SetGoodbye (QoS 1) and disconnects, waiting at most
    // about a second in all.
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // One connection attempt: clean session, the will (QoS 1, not retained),
    // then the subscriptions (QoS 0) once connected.
    void Connect(const std::string& willTopic, const std::string& willPayload,
                 const std::vector<std::string>& subscriptions);
    // Publishes without waiting; false when not connected or Paho refused it.
    bool Publish(const std::string& topic, const std::string& payload, int qos);
    // Publishes the goodbye message and disconnects; reports `lost` later.
    void Disconnect(const std::string& topic, const std::string& payload);
    bool IsConnected() const;
    // The message published before the destructor's disconnect.
    void SetGoodbye(std::string topic, std::string payload);

private:
    struct Shared; // the part Paho's threads reach: events behind a lock
    class Listener;

    MqttSettings settings_;
    std::shared_ptr<Shared> shared_;
    // Before the client: Paho may call them until the client is gone.
    std::unique_ptr<Listener> connectListener_, disconnectListener_;
    std::unique_ptr<mqtt::async_client> client_;
    std::string createError_;
    std::string goodbyeTopic_, goodbyePayload_;
};
