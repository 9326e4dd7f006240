// Peers that misbehave, and the limits: each gets the status the endpoint
// documents, and a fault on the wire closes the channel after an Error
// message while other clients go on.
#include "UaTestSupport.h"

#include <gtest/gtest.h>

using namespace ua;

namespace {

template <class Request>
std::string Body(std::uint32_t encodingId, const Request& r)
{
    std::string body;
    EncodeMessage(body, encodingId, r);
    return body;
}

ReadRequest ReadOfScale()
{
    ReadRequest r;
    r.nodesToRead = {ReadValueId{NodeId(1, "Scale_COM1"), 13, "", {}}};
    return r;
}

} // namespace

class UaBadInput : public UaServerFixture {
protected:
    // A fresh channel after Hello and OpenSecureChannel, its pipe, and
    // whether a good client beside it is still served afterwards.
    Client& Open(LoopbackPipe*& pipe, bool session = true) { return Connect(session, &pipe); }
    StatusCode Closed(Client& c, LoopbackPipe* pipe)
    {
        std::string received;
        EXPECT_TRUE(c.WaitClosed(0, &received)) << "the channel stayed open";
        EXPECT_TRUE(pipe->Closed());
        return LastError(received);
    }
    void OthersAreServed()
    {
        Client& good = Connect();
        ReadRequest r = ReadOfScale();
        ReadResponse response;
        EXPECT_EQ(good.Call(enc::ReadRequest, r, enc::ReadResponse, response), sc::Good);
    }
};

TEST_F(UaBadInput, GarbageAndMessagesOutOfPlaceCloseTheChannel)
{
    // Not UA-TCP at all.
    auto garbage = std::make_unique<LoopbackPipe>(*server, clock);
    std::string error;
    garbage->Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n", error);
    EXPECT_TRUE(garbage->Closed());
    EXPECT_EQ(LastError(garbage->Pending()), sc::BadTcpMessageTypeInvalid);

    // A message before Hello, a second Hello, a MSG on a channel not opened.
    auto early = std::make_unique<LoopbackPipe>(*server, clock);
    early->Send(Framed("ERR", ErrorMessage{sc::BadTimeout, ""}), error);
    EXPECT_TRUE(early->Closed());
    LoopbackPipe* pipe = nullptr;
    Client& c = Open(pipe, false);
    c.SendRaw(Framed("HEL", HelloMessage{0, 65535, 65535, 0, 0, "opc.tcp://x"}));
    EXPECT_EQ(Closed(c, pipe), sc::BadTcpMessageTypeInvalid);

    // Wrong channel id, unknown token, a sequence number that skips.
    const auto corrupted = [&](std::size_t offset) {
        LoopbackPipe* p = nullptr;
        Client& victim = Open(p);
        std::string chunk = victim.MakeChunk('F', Body(enc::ReadRequest, ReadOfScale()), 99);
        chunk[offset] = static_cast<char>(chunk[offset] + 5);
        victim.SendRaw(chunk);
        return Closed(victim, p);
    };
    EXPECT_EQ(corrupted(8), sc::BadTcpSecureChannelUnknown);
    EXPECT_EQ(corrupted(12), sc::BadSecureChannelTokenUnknown);
    EXPECT_EQ(corrupted(16), sc::BadSequenceNumberInvalid);

    // An encoding id that names no service, and one that names a service
    // this server does not offer (that one is only a fault).
    const auto request = [](std::uint32_t encodingId) {
        std::string body;
        Encoder e(body);
        e.Write(NodeId::Numeric(encodingId));
        e.Put(RequestHeader{});
        return body;
    };
    Client& unknown = Open(pipe);
    unknown.SendBody(request(9999));
    EXPECT_EQ(Closed(unknown, pipe), sc::BadDecodingError);
    Client& call = Open(pipe);
    call.SendBody(request(712)); // CallRequest
    std::uint32_t id = 0, type = 0;
    std::string reply;
    ASSERT_TRUE(call.Receive(id, type, reply, 0));
    ReadResponse unused;
    EXPECT_EQ(call.Decode(type, reply, enc::ReadResponse, unused), sc::BadServiceUnsupported);
    EXPECT_FALSE(pipe->Closed());
    OthersAreServed();
}

TEST_F(UaBadInput, TruncatedOversizedAndOverLimitMessages)
{
    LoopbackPipe* pipe = nullptr;
    // A request that ends before its fields do.
    Client& truncated = Open(pipe);
    const std::string read = Body(enc::ReadRequest, ReadOfScale());
    truncated.SendBody(read.substr(0, read.size() - 3));
    EXPECT_EQ(Closed(truncated, pipe), sc::BadDecodingError);

    // A chunk header announcing more than the negotiated chunk size: refused
    // from its header, before any of it is kept.
    Client& huge = Open(pipe);
    std::string header;
    WriteHeader(header, "MSG", 'F', 1u << 24);
    huge.SendRaw(header);
    EXPECT_EQ(Closed(huge, pipe), sc::BadTcpMessageTooLarge);

    // A message in more chunks than the limit allows.
    Client& many = Open(pipe);
    const std::string part(60000, 'x');
    std::string chunks;
    for (std::uint32_t i = 0; i <= limits::kMaxRequestChunks; ++i)
        chunks += many.MakeChunk('C', part, 77);
    many.SendRaw(chunks);
    EXPECT_EQ(Closed(many, pipe), sc::BadTcpMessageTooLarge);

    // An array longer than the decoder takes, and a string.
    Client& longArray = Open(pipe);
    std::string body;
    Encoder e(body);
    e.Write(NodeId::Numeric(enc::ReadRequest));
    e.Put(RequestHeader{});
    e.Number(0.0);
    e.Number(std::int32_t(2));
    e.Number(std::int32_t(limits::kMaxArrayLength + 1));
    body += std::string(64, '\0');
    longArray.SendBody(body);
    EXPECT_EQ(Closed(longArray, pipe), sc::BadEncodingLimitsExceeded);
    Client& longString = Open(pipe);
    WriteRequest w;
    w.nodesToWrite = {WriteValue{NodeId(1, "Scale_COM1"), 13, "", DataValue::Of(ua::Variant::String(std::string(70000, 'x')))}};
    longString.SendBody(Body(enc::WriteRequest, w));
    EXPECT_EQ(Closed(longString, pipe), sc::BadEncodingLimitsExceeded);
    EXPECT_EQ(ptys[0].pending(), 0); // nothing of it went to the device

    // A response larger than the client takes: a fault instead.
    auto small = std::make_unique<Client>();
    small->SetHelloLimits(8192, 1);
    ASSERT_TRUE(small->Connect(std::make_unique<LoopbackPipe>(*server, clock), "opc.tcp://x", 0));
    ASSERT_TRUE(small->OpenSession(0));
    ReadRequest many1000;
    many1000.nodesToRead.assign(1000, ReadValueId{NodeId::Numeric(id::ServerStatus), 13, "", {}});
    ReadResponse r;
    EXPECT_EQ(small->Call(enc::ReadRequest, many1000, enc::ReadResponse, r), sc::BadResponseTooLarge);
    OthersAreServed();
}

TEST_F(UaBadInput, SilentPeersAndPeersThatVanish)
{
    // No Hello within 10 s; Hello but no OpenSecureChannel within 10 s.
    auto silent = std::make_unique<LoopbackPipe>(*server, clock);
    auto halfway = std::make_unique<LoopbackPipe>(*server, clock);
    std::string error;
    halfway->Send(Framed("HEL", HelloMessage{0, 65535, 65535, 0, 0, "opc.tcp://x"}), error);
    Advance(limits::kHelloTimeoutMs - 1);
    EXPECT_FALSE(silent->Closed());
    Advance(1);
    EXPECT_TRUE(silent->Closed());
    EXPECT_TRUE(halfway->Closed());
    EXPECT_EQ(LastError(silent->Pending()), sc::BadTimeout);

    silent.reset();
    halfway.reset();

    // A client that goes in the middle of a request, with a session and a
    // queued Publish request: the channel goes at once, the session at its
    // time-out, and nobody else notices.
    {
        LoopbackPipe* pipe = nullptr;
        Client& c = Open(pipe, false);
        ASSERT_TRUE(c.OpenSession(0, 1000));
        CreateSubscriptionRequest cs;
        CreateSubscriptionResponse sub;
        ASSERT_EQ(c.Call(enc::CreateSubscriptionRequest, cs, enc::CreateSubscriptionResponse, sub), sc::Good);
        PublishRequest p;
        c.Send(enc::PublishRequest, p);
        const std::string chunk = c.MakeChunk('F', Body(enc::ReadRequest, ReadOfScale()), 5);
        c.SendRaw(chunk.substr(0, chunk.size() / 2));
        EXPECT_EQ(server->ChannelCount(), 1u);
        clients.pop_back(); // the connection drops
    }
    EXPECT_EQ(server->ChannelCount(), 0u);
    EXPECT_EQ(server->SessionCount(), 1u);
    Advance(1001);
    EXPECT_EQ(server->SessionCount(), 0u);
    EXPECT_EQ(server->Summary().sessionTimeoutCount, 1u);
    OthersAreServed();
}

TEST_F(UaBadInput, LimitsOnSessionsSubscriptionsItemsAndPublishRequests)
{
    LoopbackPipe* pipe = nullptr;
    Client& c = Open(pipe);
    for (int i = 1; i < limits::kMaxSessions; ++i) {
        CreateSessionRequest cs;
        CreateSessionResponse created;
        ASSERT_EQ(c.Call(enc::CreateSessionRequest, cs, enc::CreateSessionResponse, created), sc::Good) << i;
    }
    CreateSessionRequest cs;
    CreateSessionResponse created;
    EXPECT_EQ(c.Call(enc::CreateSessionRequest, cs, enc::CreateSessionResponse, created), sc::BadTooManySessions);
    EXPECT_EQ(server->Summary().rejectedSessionCount, 1u);

    CreateSubscriptionRequest sub;
    CreateSubscriptionResponse made;
    for (int i = 0; i < limits::kMaxSubscriptionsPerSession; ++i)
        ASSERT_EQ(c.Call(enc::CreateSubscriptionRequest, sub, enc::CreateSubscriptionResponse, made), sc::Good);
    EXPECT_EQ(c.Call(enc::CreateSubscriptionRequest, sub, enc::CreateSubscriptionResponse, made),
              sc::BadTooManySubscriptions);

    CreateMonitoredItemsRequest cm;
    cm.subscriptionId = made.subscriptionId;
    MonitoredItemCreateRequest item;
    item.itemToMonitor = {NodeId(1, "Scale_COM1"), 13, "", {}};
    cm.itemsToCreate.assign(limits::kMaxMonitoredItemsPerCall + 1, item);
    CreateMonitoredItemsResponse items;
    EXPECT_EQ(c.Call(enc::CreateMonitoredItemsRequest, cm, enc::CreateMonitoredItemsResponse, items),
              sc::BadTooManyOperations);
    cm.itemsToCreate.clear();
    EXPECT_EQ(c.Call(enc::CreateMonitoredItemsRequest, cm, enc::CreateMonitoredItemsResponse, items), sc::BadNothingToDo);

    // One Publish request past the limit: the oldest is answered with
    // Bad_TooManyPublishRequests, the rest wait.
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i <= limits::kMaxPublishRequestsPerSession; ++i) {
        PublishRequest p;
        ids.push_back(c.Send(enc::PublishRequest, p));
    }
    std::uint32_t id = 0, type = 0;
    std::string body;
    ASSERT_TRUE(c.Receive(id, type, body, 0));
    EXPECT_EQ(id, ids.front());
    PublishResponse r;
    EXPECT_EQ(c.Decode(type, body, enc::PublishResponse, r), sc::BadTooManyPublishRequests);
    EXPECT_FALSE(c.Receive(id, type, body, 0));

    // Channels past the limit are refused before their Hello.
    std::vector<std::unique_ptr<LoopbackPipe>> pipes;
    while (server->ChannelCount() < static_cast<std::size_t>(limits::kMaxSecureChannels))
        pipes.push_back(std::make_unique<LoopbackPipe>(*server, clock));
    EXPECT_EQ(server->OpenChannel({}), nullptr);
}
