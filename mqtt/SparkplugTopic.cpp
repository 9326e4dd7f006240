#include "SparkplugTopic.h"

#include <vector>

namespace sparkplug {

namespace {

bool allowed(char c) { return c != '+' && c != '#' && c != '/' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F; }

std::vector<std::string_view> split(std::string_view text)
{
    std::vector<std::string_view> levels;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = text.find('/', start);
        levels.push_back(text.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos)
            return levels;
        start = slash + 1;
    }
}

bool knownType(std::string_view type, bool device)
{
    if (device)
        return type == "DBIRTH" || type == "DDEATH" || type == "DDATA" || type == "DCMD";
    return type == "NBIRTH" || type == "NDEATH" || type == "NDATA" || type == "NCMD";
}

} // namespace

std::string SanitizeId(std::string_view text)
{
    if (text.empty())
        return "_";
    std::string id(text);
    for (char& c : id)
        if (!allowed(c))
            c = '_';
    return id;
}

bool ValidId(std::string_view text) { return !text.empty() && SanitizeId(text) == text; }

std::string TopicOf(std::string_view group, std::string_view type, std::string_view node, std::string_view device)
{
    std::string topic;
    topic.reserve(kNamespace.size() + group.size() + type.size() + node.size() + device.size() + 4);
    topic.append(kNamespace).append("/").append(group).append("/").append(type).append("/").append(node);
    if (!device.empty())
        topic.append("/").append(device);
    return topic;
}

std::string StateTopicOf(std::string_view hostId)
{
    return std::string(kNamespace) + "/STATE/" + std::string(hostId);
}

std::optional<Topic> ParseTopic(std::string_view text)
{
    const std::vector<std::string_view> levels = split(text);
    if (levels.size() < 3 || levels[0] != kNamespace)
        return std::nullopt;
    for (std::string_view level : levels)
        if (!ValidId(level))
            return std::nullopt;
    if (levels[1] == "STATE") {
        if (levels.size() != 3)
            return std::nullopt;
        return Topic{"", "STATE", std::string(levels[2]), ""};
    }
    if (levels.size() != 4 && levels.size() != 5)
        return std::nullopt;
    const bool device = levels.size() == 5;
    if (!knownType(levels[2], device))
        return std::nullopt;
    return Topic{std::string(levels[1]), std::string(levels[2]), std::string(levels[3]),
                 device ? std::string(levels[4]) : std::string()};
}

} // namespace sparkplug
