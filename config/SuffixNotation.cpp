#include "SuffixNotation.h"

#include "PortSettingRecord.h"

namespace {

bool IsSeparator(unsigned char c)
{
    return c <= ' ' || c == 127;
}

// The byte an item stands for: "#<integer>" gives one byte, anything else
// stays as written.
void AppendItem(std::string& out, std::string_view item)
{
    if (item.size() > 1 && item.front() == '#') {
        if (const auto code = ParseDecimal(item.substr(1))) {
            const int wrapped = ((*code % 256) + 256) % 256;
            out.push_back(static_cast<char>(static_cast<unsigned char>(wrapped)));
            return;
        }
    }
    out.append(item);
}

} // namespace

std::string SuffixToNotation(std::string_view raw)
{
    std::string text;
    text.reserve(raw.size() * 5);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (i > 0)
            text.push_back(';');
        text.push_back('#');
        text.append(std::to_string(static_cast<unsigned char>(raw[i])));
    }
    return text;
}

std::string NotationToSuffix(std::string_view text)
{
    std::string raw;
    std::size_t pos = 0;
    const std::size_t n = text.size();
    while (pos < n) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c == ';' || IsSeparator(c)) {
            ++pos;
            continue;
        }
        if (c == '"') {
            std::string item;
            ++pos;
            while (pos < n) {
                if (text[pos] == '"') {
                    if (pos + 1 < n && text[pos + 1] == '"') {
                        item.push_back('"');
                        pos += 2;
                        continue;
                    }
                    ++pos; // closing quote
                    break;
                }
                item.push_back(text[pos++]);
            }
            AppendItem(raw, item);
            continue;
        }
        const std::size_t start = pos;
        while (pos < n && text[pos] != ';' && !IsSeparator(static_cast<unsigned char>(text[pos])))
            ++pos;
        AppendItem(raw, text.substr(start, pos - start));
    }
    return raw;
}
