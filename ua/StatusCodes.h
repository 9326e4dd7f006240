#pragma once
// The OPC UA status codes the endpoint returns or checks (values from the
// standard's table of status codes). A status code's top two bits tell its
// severity: 00 good, 01 uncertain, 10 bad.
#include <cstdint>

namespace ua {

using StatusCode = std::uint32_t;

#define LINVARO_UA_STATUS_CODES(X) \
    X(Good, 0x00000000) \
    X(BadUnexpectedError, 0x80010000) \
    X(BadInternalError, 0x80020000) \
    X(BadOutOfMemory, 0x80030000) \
    X(BadCommunicationError, 0x80050000) \
    X(BadEncodingError, 0x80060000) \
    X(BadDecodingError, 0x80070000) \
    X(BadEncodingLimitsExceeded, 0x80080000) \
    X(BadUnknownResponse, 0x80090000) \
    X(BadTimeout, 0x800A0000) \
    X(BadServiceUnsupported, 0x800B0000) \
    X(BadShutdown, 0x800C0000) \
    X(BadNothingToDo, 0x800F0000) \
    X(BadTooManyOperations, 0x80100000) \
    X(BadSecurityChecksFailed, 0x80130000) \
    X(BadCertificateInvalid, 0x80120000) \
    X(BadCertificateTimeInvalid, 0x80140000) \
    X(BadCertificateIssuerTimeInvalid, 0x80150000) \
    X(BadCertificateUriInvalid, 0x80170000) \
    X(BadCertificateUseNotAllowed, 0x80180000) \
    X(BadCertificateIssuerUseNotAllowed, 0x80190000) \
    X(BadCertificateUntrusted, 0x801A0000) \
    X(BadCertificateRevocationUnknown, 0x801B0000) \
    X(BadCertificateIssuerRevocationUnknown, 0x801C0000) \
    X(BadCertificateRevoked, 0x801D0000) \
    X(BadCertificateIssuerRevoked, 0x801E0000) \
    X(BadCertificateChainIncomplete, 0x810D0000) \
    X(BadCertificatePolicyCheckFailed, 0x81140000) \
    X(BadResourceUnavailable, 0x80040000) \
    X(BadNonceInvalid, 0x80240000) \
    X(BadApplicationSignatureInvalid, 0x80580000) \
    X(BadUserAccessDenied, 0x801F0000) \
    X(BadIdentityTokenInvalid, 0x80200000) \
    X(BadIdentityTokenRejected, 0x80210000) \
    X(BadSecureChannelIdInvalid, 0x80220000) \
    X(BadSessionIdInvalid, 0x80250000) \
    X(BadSessionClosed, 0x80260000) \
    X(BadSessionNotActivated, 0x80270000) \
    X(BadSubscriptionIdInvalid, 0x80280000) \
    X(BadRequestHeaderInvalid, 0x802A0000) \
    X(BadTimestampsToReturnInvalid, 0x802B0000) \
    X(BadNoCommunication, 0x80310000) \
    X(BadNodeIdInvalid, 0x80330000) \
    X(BadNodeIdUnknown, 0x80340000) \
    X(BadAttributeIdInvalid, 0x80350000) \
    X(BadIndexRangeInvalid, 0x80360000) \
    X(BadIndexRangeNoData, 0x80370000) \
    X(BadDataEncodingInvalid, 0x80380000) \
    X(BadDataEncodingUnsupported, 0x80390000) \
    X(BadNotReadable, 0x803A0000) \
    X(BadNotWritable, 0x803B0000) \
    X(BadOutOfRange, 0x803C0000) \
    X(BadMonitoringModeInvalid, 0x80410000) \
    X(BadMonitoredItemIdInvalid, 0x80420000) \
    X(BadMonitoredItemFilterInvalid, 0x80430000) \
    X(BadMonitoredItemFilterUnsupported, 0x80440000) \
    X(BadFilterNotAllowed, 0x80450000) \
    X(BadContinuationPointInvalid, 0x804A0000) \
    X(BadNoContinuationPoints, 0x804B0000) \
    X(BadReferenceTypeIdInvalid, 0x804C0000) \
    X(BadBrowseDirectionInvalid, 0x804D0000) \
    X(BadRequestTypeInvalid, 0x80530000) \
    X(BadSecurityModeRejected, 0x80540000) \
    X(BadSecurityPolicyRejected, 0x80550000) \
    X(BadTooManySessions, 0x80560000) \
    X(BadBrowseNameInvalid, 0x80600000) \
    X(BadViewIdUnknown, 0x806B0000) \
    X(BadNoMatch, 0x806F0000) \
    X(BadMaxAgeInvalid, 0x80700000) \
    X(BadWriteNotSupported, 0x80730000) \
    X(BadTypeMismatch, 0x80740000) \
    X(BadTooManySubscriptions, 0x80770000) \
    X(BadTooManyPublishRequests, 0x80780000) \
    X(BadNoSubscription, 0x80790000) \
    X(BadSequenceNumberUnknown, 0x807A0000) \
    X(BadMessageNotAvailable, 0x807B0000) \
    X(BadTcpServerTooBusy, 0x807D0000) \
    X(BadTcpMessageTypeInvalid, 0x807E0000) \
    X(BadTcpSecureChannelUnknown, 0x807F0000) \
    X(BadTcpMessageTooLarge, 0x80800000) \
    X(BadTcpInternalError, 0x80820000) \
    X(BadTcpEndpointUrlInvalid, 0x80830000) \
    X(BadSecureChannelClosed, 0x80860000) \
    X(BadSecureChannelTokenUnknown, 0x80870000) \
    X(BadSequenceNumberInvalid, 0x80880000) \
    X(BadDeadbandFilterInvalid, 0x808E0000) \
    X(BadRequestTooLarge, 0x80B80000) \
    X(BadResponseTooLarge, 0x80B90000) \
    X(BadProtocolVersionUnsupported, 0x80BE0000) \
    X(BadTooManyMonitoredItems, 0x80DB0000) \

namespace sc {
#define LINVARO_UA_STATUS_CONSTANT(name, value) inline constexpr StatusCode name = value;
LINVARO_UA_STATUS_CODES(LINVARO_UA_STATUS_CONSTANT)
#undef LINVARO_UA_STATUS_CONSTANT
} // namespace sc

// Bits of a DataValue's status that qualify a value from a monitored item's
// queue: the InfoType "DataValue" and its Overflow bit.
inline constexpr StatusCode kInfoTypeDataValue = 0x00000400;
inline constexpr StatusCode kOverflowBit = 0x00000080;

inline constexpr bool IsBad(StatusCode s) { return (s & 0x80000000u) != 0; }
inline constexpr bool IsGood(StatusCode s) { return (s & 0xC0000000u) == 0; }

// The symbolic name of a code ("BadNodeIdUnknown"), for diagnostics; empty
// for codes not in the table above.
const char* StatusName(StatusCode code);

} // namespace ua
