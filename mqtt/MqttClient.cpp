#include "MqttClient.h"

#include <mqtt/async_client.h>

#include <chrono>

struct MqttClient::Shared {
    std::mutex mutex;
    bool alive = true;
    Events events;
    mqtt::async_client* client = nullptr;
    std::vector<std::string> subscriptions;
    bool tls = false;
};

namespace {

std::string connectReason(int rc)
{
    // MQTT 3.1.1 CONNACK return codes, and Paho's own negative codes.
    switch (rc) {
    case 1:
        return "the broker refused the protocol version";
    case 2:
        return "the broker refused the client id";
    case 3:
        return "the broker is unavailable";
    case 4:
        return "the broker refused the user name or password";
    case 5:
        return "the broker refused this client: not authorised";
    case -1:
        return "no connection (TCP or TLS connect failure)";
    default:
        return "error " + std::to_string(rc);
    }
}

} // namespace

class MqttClient::Listener : public mqtt::iaction_listener {
public:
    // Connect attempts report their failure; a disconnect reports the end
    // of the session whichever way it went.
    Listener(std::shared_ptr<Shared> shared, bool disconnect) : shared_(std::move(shared)), disconnect_(disconnect) {}
    void on_success(const mqtt::token&) override
    {
        if (disconnect_)
            lost();
    }
    void on_failure(const mqtt::token& token) override
    {
        if (disconnect_) {
            lost();
            return;
        }
        std::lock_guard lock(shared_->mutex);
        if (!shared_->alive || !shared_->events.connectFailed)
            return;
        std::string reason = connectReason(token.get_return_code());
        if (shared_->tls && token.get_return_code() == -1)
            reason += "; for a TLS broker: is its certificate signed by the CA File, its name the broker's, "
                      "and are Certificate and Key this node's?";
        shared_->events.connectFailed(reason);
    }

private:
    void lost()
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->alive && shared_->events.lost)
            shared_->events.lost("disconnected by this node");
    }
    std::shared_ptr<Shared> shared_;
    bool disconnect_;
};

MqttClient::MqttClient(const MqttSettings& settings, Events events)
    : settings_(settings), shared_(std::make_shared<Shared>())
{
    shared_->events = std::move(events);
    connectListener_ = std::make_unique<Listener>(shared_, false);
    disconnectListener_ = std::make_unique<Listener>(shared_, true);
    try {
        client_ = std::make_unique<mqtt::async_client>(settings.broker, settings.clientId,
                                                       mqtt::create_options(MQTTVERSION_3_1_1));
    } catch (const std::exception& e) {
        createError_ = std::string("the broker address \"") + settings.broker + "\" cannot be used: " + e.what();
        return;
    }
    shared_->client = client_.get();
    std::weak_ptr<Shared> weak = shared_;
    client_->set_connected_handler([weak](const std::string&) {
        auto shared = weak.lock();
        if (!shared)
            return;
        std::lock_guard lock(shared->mutex);
        if (!shared->alive)
            return;
        try {
            for (const std::string& filter : shared->subscriptions)
                shared->client->subscribe(filter, 0);
        } catch (const std::exception&) {
            // The connection went again at once; the lost event follows.
        }
        if (shared->events.connected)
            shared->events.connected();
    });
    client_->set_connection_lost_handler([weak](const std::string& cause) {
        auto shared = weak.lock();
        if (!shared)
            return;
        std::lock_guard lock(shared->mutex);
        if (shared->alive && shared->events.lost)
            shared->events.lost(cause.empty() ? "the connection was closed" : cause);
    });
    client_->set_message_callback([weak](mqtt::const_message_ptr msg) {
        auto shared = weak.lock();
        if (!shared || !msg)
            return;
        std::lock_guard lock(shared->mutex);
        if (shared->alive && shared->events.message)
            shared->events.message(msg->get_topic(), msg->get_payload_str());
    });
}

MqttClient::~MqttClient()
{
    {
        std::lock_guard lock(shared_->mutex);
        shared_->alive = false;
        shared_->client = nullptr;
    }
    if (!client_)
        return;
    try {
        if (client_->is_connected()) {
            if (!goodbyeTopic_.empty())
                client_->publish(goodbyeTopic_, goodbyePayload_.data(), goodbyePayload_.size(), 1, false)
                    ->wait_for(std::chrono::milliseconds(500));
            client_->disconnect(300)->wait_for(std::chrono::milliseconds(600));
        }
    } catch (const std::exception&) {
        // Gone already: the broker sends the will instead.
    }
    client_->set_connected_handler(nullptr);
    client_->set_connection_lost_handler(nullptr);
    client_->set_message_callback(nullptr);
}

void MqttClient::SetGoodbye(std::string topic, std::string payload)
{
    goodbyeTopic_ = std::move(topic);
    goodbyePayload_ = std::move(payload);
}

void MqttClient::Connect(const std::string& willTopic, const std::string& willPayload,
                         const std::vector<std::string>& subscriptions)
{
    if (!client_) {
        std::lock_guard lock(shared_->mutex);
        if (shared_->events.connectFailed)
            shared_->events.connectFailed(createError_);
        return;
    }
    {
        std::lock_guard lock(shared_->mutex);
        shared_->subscriptions = subscriptions;
    }
    mqtt::connect_options options;
    options.set_mqtt_version(MQTTVERSION_3_1_1);
    options.set_clean_session(true);
    options.set_keep_alive_interval(settings_.keepAlive);
    options.set_connect_timeout(10);
    options.set_automatic_reconnect(false);
    options.set_will(mqtt::will_options(willTopic, willPayload.data(), willPayload.size(), 1, false));
    if (!settings_.username.empty())
        options.set_user_name(settings_.username);
    if (!settings_.password.empty())
        options.set_password(settings_.password);
    const bool tls = settings_.broker.rfind("ssl://", 0) == 0 || settings_.broker.rfind("mqtts://", 0) == 0;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->tls = tls;
    }
    if (tls) {
        mqtt::ssl_options ssl;
        if (!settings_.caFile.empty())
            ssl.set_trust_store(settings_.caFile);
        if (!settings_.certificate.empty())
            ssl.set_key_store(settings_.certificate);
        if (!settings_.key.empty())
            ssl.set_private_key(settings_.key);
        ssl.set_enable_server_cert_auth(true);
        ssl.set_verify(true);
        // No TLS error handler: Paho C++ 1.2 calls it through a pointer to
        // the options object it was set on, which is gone by then (seen to
        // crash the program on a refused certificate).
        options.set_ssl(std::move(ssl));
    }
    try {
        client_->connect(options, nullptr, *connectListener_);
    } catch (const std::exception& e) {
        std::lock_guard lock(shared_->mutex);
        if (shared_->events.connectFailed)
            shared_->events.connectFailed(e.what());
    }
}

bool MqttClient::IsConnected() const { return client_ && client_->is_connected(); }

bool MqttClient::Publish(const std::string& topic, const std::string& payload, int qos)
{
    if (!IsConnected())
        return false;
    try {
        client_->publish(topic, payload.data(), payload.size(), qos, false);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void MqttClient::Disconnect(const std::string& topic, const std::string& payload)
{
    if (!IsConnected())
        return;
    try {
        client_->publish(topic, payload.data(), payload.size(), 1, false);
        client_->disconnect(1000, nullptr, *disconnectListener_);
    } catch (const std::exception& e) {
        std::lock_guard lock(shared_->mutex);
        if (shared_->events.lost)
            shared_->events.lost(e.what());
    }
}
