#pragma once
// Every limit the endpoint enforces, in one place (docs/opc-ua.md lists
// them with the status a peer gets when it goes past one). The operation
// limits are also served under Server/ServerCapabilities.
#include <cstddef>
#include <cstdint>

namespace ua::limits {

// Transport: one chunk is at most this big both ways (the smaller of this
// and what the peer's Hello offers), a request message at most
// kMaxRequestMessage bytes in at most kMaxRequestChunks chunks; a response
// at most kMaxResponseMessage bytes (or less when the client asks for less).
inline constexpr std::uint32_t kChunkSize = 65535;
inline constexpr std::uint32_t kMinChunkSize = 8192;
inline constexpr std::uint32_t kMaxRequestMessage = 1u << 20;
inline constexpr std::uint32_t kMaxRequestChunks = 32;
inline constexpr std::uint32_t kMaxResponseMessage = 16u << 20;
inline constexpr std::uint32_t kMaxEndpointUrlLength = 4096;
// A connection that sends no Hello (or, after it, no OpenSecureChannel) in
// this time is closed.
inline constexpr int kHelloTimeoutMs = 10000;
// A peer that does not read its responses is dropped once this much waits.
inline constexpr std::uint32_t kMaxPendingOutput = 32u << 20;

// Encoding: arrays, strings and byte strings in a request, and nesting of
// variants, data values and diagnostic infos.
inline constexpr std::uint32_t kMaxArrayLength = 65535;
inline constexpr std::uint32_t kMaxStringLength = 65535;
inline constexpr std::uint32_t kMaxByteStringLength = 65535;
inline constexpr int kMaxNesting = 10;

// Costly work (RSA, certificate checks, password hashes) waiting for the
// worker thread; past this, a channel that opens gets Bad_TcpServerTooBusy
// and a CreateSession or ActivateSession Bad_ResourceUnavailable.
inline constexpr std::size_t kMaxOffloadedJobs = 64;

// Secure channels and their security tokens (ms).
inline constexpr int kMaxSecureChannels = 200;
inline constexpr std::uint32_t kMinTokenLifetimeMs = 10000;
inline constexpr std::uint32_t kMaxTokenLifetimeMs = 3600000;
inline constexpr std::uint32_t kDefaultTokenLifetimeMs = 3600000;

// Sessions.
inline constexpr int kMaxSessions = 150;
inline constexpr double kMinSessionTimeoutMs = 1000;
inline constexpr double kMaxSessionTimeoutMs = 3600000;
inline constexpr int kMaxBrowseContinuationPoints = 10; // per session

// Operations per call.
inline constexpr std::uint32_t kMaxNodesPerRead = 1000;
inline constexpr std::uint32_t kMaxNodesPerWrite = 1000;
inline constexpr std::uint32_t kMaxNodesPerBrowse = 1000;
inline constexpr std::uint32_t kMaxReferencesPerNode = 1000; // per Browse result; more go through BrowseNext
inline constexpr std::uint32_t kMaxNodesPerRegisterNodes = 1000;
inline constexpr std::uint32_t kMaxNodesPerTranslate = 1000;
inline constexpr std::uint32_t kMaxMonitoredItemsPerCall = 1000;
inline constexpr std::uint32_t kMaxSubscriptionIdsPerCall = 1000;

// Subscriptions and monitored items.
inline constexpr int kMaxSubscriptionsPerSession = 20;
inline constexpr int kMaxSubscriptions = 1000;
inline constexpr int kMaxMonitoredItems = 100000; // in all sessions
inline constexpr double kMinPublishingIntervalMs = 10;
inline constexpr double kMaxPublishingIntervalMs = 3600000;
inline constexpr double kMinSamplingIntervalMs = 10; // the program's pulse (a tag's Value: 0, every change)
inline constexpr double kMaxSamplingIntervalMs = 3600000;
inline constexpr std::uint32_t kMaxKeepAliveCount = 10000;
inline constexpr std::uint32_t kMaxLifetimeCount = 100000;
inline constexpr std::uint32_t kMaxQueueSize = 1000;
inline constexpr std::uint32_t kMaxNotificationsPerPublish = 1000;
inline constexpr std::uint32_t kMaxPublishRequestsPerSession = 20;
inline constexpr std::size_t kMaxRetransmissionQueue = 64; // per subscription

} // namespace ua::limits
