#pragma once
// A small blocking OPC UA client: the command-line tool, the benchmarks and
// the tests use it. SecurityPolicy None by default, or an RSA policy with
// Sign or SignAndEncrypt (SetSecurity); anonymous, or a user name. It
// talks over a TCP socket, or over any other byte pipe (tests put the
// server core at the other end). Every wait has a deadline. Requests may
// be pipelined: Send returns the request id, Receive hands out responses
// as they come.
//
// Threads: one thread per client object.
#include "Messages.h"
#include "SecurityPolicy.h"
#include "Transport.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ua {

// The bytes between client and server.
class ClientPipe {
public:
    virtual ~ClientPipe() = default;
    virtual bool Send(const std::string& bytes, std::string& error) = 0;
    // Exactly n bytes, or false with error "time-out" or why not.
    virtual bool Read(std::size_t n, std::string& out, int timeoutMs, std::string& error) = 0;
    // Waits for the other end to close; what came on the way is kept.
    virtual bool WaitClosed(int timeoutMs, std::string* received) = 0;
};

class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // TCP, Hello and OpenSecureChannel.
    bool Connect(const std::string& host, std::uint16_t port, int timeoutMs);
    // Hello and OpenSecureChannel over a pipe of the caller's.
    bool Connect(std::unique_ptr<ClientPipe> pipe, const std::string& endpointUrl, int timeoutMs);
    // The security of the next Connect: policy (null: None), mode, this
    // client's certificate and key, and the server's certificate (as
    // GetEndpoints gives it).
    void SetSecurity(const PolicyParams* policy, MessageSecurityMode mode, std::shared_ptr<const LocalIdentity> own,
                     std::shared_ptr<const crypto::Certificate> server);
    // The user of the next OpenSession; an empty name is anonymous.
    void SetUser(const std::string& name, const std::string& password)
    {
        userName_ = name;
        password_ = password;
    }
    // The application URI CreateSession names (default: the one of this
    // client's certificate, or linvaro-ua's own without one).
    void SetApplicationUri(const std::string& uri) { applicationUri_ = uri; }
    // CreateSession and ActivateSession; on a secured channel with the
    // signatures both ways. A bad service result goes to Result().
    bool OpenSession(int timeoutMs, double sessionTimeoutMs = 60000);
    // The service result that made OpenSession fail (Good otherwise).
    StatusCode Result() const { return result_; }
    // The endpoints over a channel of its own (None): what a client asks
    // before it knows the server's certificate.
    static bool FindEndpoints(const std::string& host, std::uint16_t port, std::vector<EndpointDescription>& endpoints,
                              std::string& error, int timeoutMs);
    // CloseSession (when one is open), CloseSecureChannel, then the socket.
    void Close();
    // The socket only, as a client that goes away without a word.
    void Drop();
    const std::string& Error() const { return error_; }
    // What the Hello of the next Connect says the client takes (0: no limit).
    void SetHelloLimits(std::uint32_t maxMessageSize, std::uint32_t maxChunkCount,
                        std::uint32_t receiveBufferSize = 65535)
    {
        helloMaxMessage_ = maxMessageSize;
        helloMaxChunks_ = maxChunkCount;
        helloReceiveBuffer_ = receiveBufferSize;
    }
    // A new security token for the channel (OpenSecureChannel, Renew).
    bool Renew(std::uint32_t lifetimeMs, int timeoutMs);
    // Requests go with the token before the last renewal until this is called.
    void UsePreviousToken(bool on) { usePrevious_ = on; }
    // The session the requests name (tests of other clients' tokens).
    const NodeId& AuthenticationToken() const { return token_; }
    void SetAuthenticationToken(const NodeId& token) { token_ = token; }
    bool Connected() const { return pipe_ != nullptr; }

    // Sends a request (the header's token and handle filled in); 0 on failure.
    template <class Request>
    std::uint32_t Send(std::uint32_t encodingId, Request& request)
    {
        request.header.authenticationToken = token_;
        request.header.requestHandle = ++handle_;
        request.header.timestamp = Now();
        if (request.header.timeoutHint == 0)
            request.header.timeoutHint = 60000;
        std::string body;
        EncodeMessage(body, encodingId, request);
        return SendBody(body);
    }
    std::uint32_t SendBody(const std::string& body);
    // One MSG chunk of this channel with the next sequence number, secured
    // as the channel is (tests change its bytes before SendRaw: channel id
    // at 8, token id at 12; under None sequence number at 16, request id at
    // 20).
    std::string MakeChunk(char chunkType, std::string_view body, std::uint32_t requestId);
    // The next response: its request id, encoding id and body (after the id).
    bool Receive(std::uint32_t& requestId, std::uint32_t& typeId, std::string& body, int timeoutMs);

    // Request and its response; the service result (a ServiceFault's too),
    // or Bad_Timeout / Bad_CommunicationError / Bad_DecodingError.
    template <class Request, class Response>
    StatusCode Call(std::uint32_t requestEncoding, Request& request, std::uint32_t responseEncoding,
                    Response& response, int timeoutMs = 10000)
    {
        const std::uint32_t id = Send(requestEncoding, request);
        if (id == 0)
            return sc::BadCommunicationError;
        std::uint32_t gotId = 0, type = 0;
        std::string body;
        for (;;) {
            if (!Receive(gotId, type, body, timeoutMs))
                return error_ == "time-out" ? sc::BadTimeout : sc::BadCommunicationError;
            if (gotId == id)
                break;
        }
        return Decode(type, body, responseEncoding, response);
    }
    template <class Response>
    StatusCode Decode(std::uint32_t type, const std::string& body, std::uint32_t responseEncoding, Response& response)
    {
        Decoder d(body, Limits());
        if (type == enc::ServiceFault) {
            ServiceFault f = d.Get<ServiceFault>();
            return d.Ok() ? f.header.serviceResult : sc::BadDecodingError;
        }
        if (type != responseEncoding)
            return sc::BadUnknownResponse;
        d(response);
        return d.Ok() ? response.header.serviceResult : sc::BadDecodingError;
    }

    // Sends bytes as they are (tests of bad input).
    bool SendRaw(const std::string& bytes);
    // Waits for the server to close the connection; the bytes it sent on the
    // way are kept in received.
    bool WaitClosed(int timeoutMs, std::string* received = nullptr);

    static DecodeLimits Limits();

private:
    bool readChunk(std::string& chunk, int timeoutMs);
    bool readExact(std::size_t n, std::string& out, int timeoutMs);
    bool fail(const std::string& why);

    bool handshake(int timeoutMs);
    bool openChannel(SecurityTokenRequestType type, std::uint32_t lifetimeMs, int timeoutMs);
    // A chunk of this channel (MSG or CLO) with the next sequence number.
    std::string makeChunk(const char* type3, char chunkType, std::string_view body, std::uint32_t requestId);
    ExtensionObject userToken(const std::string& serverCertificate, const std::string& serverNonce);

    std::unique_ptr<ClientPipe> pipe_;
    std::string error_;
    std::string endpointUrl_;
    std::uint32_t channelId_ = 0;
    std::uint32_t tokenId_ = 0;
    std::uint32_t sequence_ = 1;
    std::uint32_t requestId_ = 0;
    std::uint32_t handle_ = 0;
    std::uint32_t sendChunkSize_ = 8192;
    std::uint32_t helloMaxMessage_ = 0;
    std::uint32_t helloMaxChunks_ = 0;
    std::uint32_t helloReceiveBuffer_ = 65535;
    std::uint32_t previousTokenId_ = 0;
    bool usePrevious_ = false;
    NodeId token_;
    bool session_ = false;
    StatusCode result_ = sc::Good;
    // Security.
    const PolicyParams* policy_ = nullptr;
    MessageSecurityMode mode_ = MessageSecurityMode::None;
    std::shared_ptr<const LocalIdentity> own_;
    std::shared_ptr<const crypto::Certificate> server_;
    std::shared_ptr<ChannelSecurity> security_ = MakeNoSecurity();
    std::string userName_, password_;
    std::string applicationUri_;
};

} // namespace ua
