#include "SimAddressSpace.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

namespace {

std::string Lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view Trimmed(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// The canonical text of value as a tag of type vt keeps it (booleans as
// True/False); nullopt when the value is not of that type.
std::optional<std::string> CanonicalText(std::string_view value, VARTYPE vt)
{
    if (vt == VT_BSTR)
        return std::string(value);
    Variant in = Variant::fromText(value.empty() ? std::string_view("0") : value);
    Variant typed;
    if (FAILED(VariantChangeTypeEx(typed.get(), in.get(), LOCALE_USER_DEFAULT, 0, vt)))
        return std::nullopt;
    Variant text;
    if (FAILED(VariantChangeTypeEx(text.get(), typed.get(), LOCALE_USER_DEFAULT, VARIANT_ALPHABOOL, VT_BSTR)))
        return std::nullopt;
    return text.text();
}

} // namespace

std::optional<SimTagSpec> ParseTagSpec(std::string_view text, std::string& error)
{
    // The value after "=" is kept as written, spaces included.
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        error = "\"" + std::string(Trimmed(text)) + "\" is not NAME:TYPE[=VALUE]";
        return std::nullopt;
    }
    SimTagSpec spec;
    spec.name = std::string(Trimmed(text.substr(0, colon)));
    std::string_view rest = text.substr(colon + 1);
    const auto equals = rest.find('=');
    const std::string type = Lower(Trimmed(rest.substr(0, equals)));
    if (equals != std::string_view::npos)
        spec.initial = std::string(rest.substr(equals + 1));
    if (type == "string")
        spec.type = VT_BSTR;
    else if (type == "bool" || type == "boolean")
        spec.type = VT_BOOL;
    else if (type == "int" || type == "integer")
        spec.type = VT_I4;
    else {
        error = "unknown type \"" + type + "\" for tag \"" + spec.name + "\" (string, bool or int)";
        return std::nullopt;
    }
    return spec;
}

bool ReadTagFile(const std::string& path, std::vector<SimTagSpec>& specs, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read \"" + path + "\"";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string_view t = Trimmed(line);
        if (t.empty() || t.front() == '#')
            continue;
        std::string why;
        auto spec = ParseTagSpec(t, why);
        if (!spec) {
            error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        specs.push_back(std::move(*spec));
    }
    return true;
}

bool SimAddressSpace::Add(const SimTagSpec& spec, std::string& error)
{
    // Room for the longest element suffix, "[256]".
    const std::size_t maxName = TTagTable::kMaxNameLength - (spec.type == VT_BSTR ? 5 : 0);
    if (spec.name.empty() || spec.name.size() > maxName || spec.name.find_first_of("[]") != std::string::npos) {
        error = "tag name \"" + spec.name + "\" must have 1 to " + std::to_string(maxName) +
                " characters and no brackets";
        return false;
    }
    if (tags_.HandleOfName(spec.name) != 0) {
        error = "tag \"" + spec.name + "\" is declared twice";
        return false;
    }
    const auto text = CanonicalText(spec.initial, spec.type);
    if (!text) {
        error = "\"" + spec.initial + "\" is not a value for tag \"" + spec.name + "\"";
        return false;
    }
    const int index = tags_.BindTag(spec.name, spec.type);
    ++declared_;
    if (spec.type != VT_BSTR) {
        tags_.Value(static_cast<std::size_t>(index)).textValue = *text;
        return true;
    }
    StringTag s;
    s.index = index;
    for (int i = 1; i <= kElements; ++i) {
        const int e = tags_.BindTag(spec.name + "[" + std::to_string(i) + "]", VT_UI1);
        if (i == 1)
            s.firstElement = e;
        owner_[e] = {strings_.size(), i - 1};
    }
    owner_[index] = {strings_.size(), -1};
    strings_.push_back(s);
    setString(strings_.back(), *text);
    return true;
}

void SimAddressSpace::setString(StringTag& s, std::string_view text)
{
    s.chars.fill(0);
    const std::size_t n = std::min<std::size_t>(text.size(), kElements);
    std::copy_n(text.begin(), n, s.chars.begin());
    refreshString(s);
}

void SimAddressSpace::refreshString(StringTag& s)
{
    // Stored through the table, so that whoever watches it (the OPC server's
    // items) learns of every tag that changed.
    const auto end = std::find(s.chars.begin(), s.chars.end(), 0);
    tags_.SetText(static_cast<std::size_t>(s.index), std::string(s.chars.begin(), end));
    for (int i = 0; i < kElements; ++i)
        tags_.SetText(static_cast<std::size_t>(s.firstElement + i), std::to_string(s.chars[i]));
}

void SimAddressSpace::Stored(int tagIndex)
{
    const auto it = owner_.find(tagIndex);
    if (it == owner_.end())
        return;
    StringTag& s = strings_[it->second.first];
    const int position = it->second.second;
    if (position < 0) {
        const std::string text = tags_.Value(static_cast<std::size_t>(tagIndex)).textValue;
        setString(s, text);
        return;
    }
    // The record holds the canonical text of an unsigned 8-bit integer.
    const std::string& code = tags_.Value(static_cast<std::size_t>(tagIndex)).textValue;
    s.chars[static_cast<std::size_t>(position)] = static_cast<unsigned char>(std::strtoul(code.c_str(), nullptr, 10));
    refreshString(s);
}

std::optional<std::string> SimAddressSpace::Text(std::string_view name) const
{
    const std::uint32_t handle = tags_.HandleOfName(name);
    if (handle == 0)
        return std::nullopt;
    return tags_.Value(handle - TTagTable::kFirstHandle).textValue;
}
