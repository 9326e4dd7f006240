#pragma once
// Sparkplug B topic names: spBv1.0/<group>/<type>/<edge node>[/<device>] and
// the host application's spBv1.0/STATE/<host>. Pure text functions.
#include <optional>
#include <string>
#include <string_view>

namespace sparkplug {

inline constexpr std::string_view kNamespace = "spBv1.0";

// An id usable as one topic level: '+', '#' and '/' (which MQTT gives a
// meaning) and control characters become '_'; an empty id becomes "_".
std::string SanitizeId(std::string_view text);
// True when text is already a valid id (non-empty, nothing SanitizeId changes).
bool ValidId(std::string_view text);

// type is NBIRTH, DDATA, ...; device empty for node-level messages.
std::string TopicOf(std::string_view group, std::string_view type, std::string_view node,
                    std::string_view device = {});
std::string StateTopicOf(std::string_view hostId);

struct Topic {
    std::string group;  // empty for STATE
    std::string type;   // "STATE" for a host application's state
    std::string node;   // the host id for STATE
    std::string device; // empty for node-level messages
};
// nullopt when the text is no Sparkplug B topic.
std::optional<Topic> ParseTopic(std::string_view text);

} // namespace sparkplug
