#include "IniFile.h"

#include <vector>

namespace ini {
namespace {

std::string_view trim(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i]))
            return false;
    }
    return true;
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// One line of the file: its text and its own line end (CR LF, LF, CR, or
// none for a last line without one).
struct Line {
    enum Kind { Other, Section, Key } kind = Other;
    std::string_view raw;  // as in the file, without the line end
    std::string_view end;  // the line end as in the file
    std::string_view name; // section or key name, trimmed
    std::string_view value;
    bool blank = false;
};

Line classify(std::string_view raw, std::string_view end, bool first)
{
    Line line;
    line.raw = raw;
    line.end = end;
    std::string_view body = raw;
    // A UTF-8 byte-order mark (Windows editors write one) is not part of the
    // first line's text; it stays in the file.
    if (first && body.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        body.remove_prefix(kByteOrderMark.size());
    const std::string_view content = trim(body);
    line.blank = content.empty();
    if (content.empty() || content.front() == ';')
        return line;
    if (content.front() == '[') {
        // A section line without its ']' still opens the section.
        std::string_view name = content.substr(1);
        const auto close = name.find(']');
        if (close != std::string_view::npos)
            name = name.substr(0, close);
        line.kind = Line::Section;
        line.name = trim(name);
        return line;
    }
    const auto eq = body.find('=');
    if (eq == std::string_view::npos)
        return line;
    line.kind = Line::Key;
    line.name = trim(body.substr(0, eq));
    line.value = body.substr(eq + 1);
    return line;
}

// Lines end at LF, CR LF or a lone CR (old Mac editors).
std::vector<Line> split(std::string_view text)
{
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size()) {
        auto end = text.find_first_of("\r\n", start);
        size_t next = end;
        if (end == std::string_view::npos)
            end = next = text.size();
        else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            next = end + 2;
        else
            next = end + 1;
        lines.push_back(classify(text.substr(start, end - start), text.substr(end, next - end), lines.empty()));
        start = next;
    }
    return lines;
}

// A value as the program uses it: blanks around removed, and one pair of
// double quotes around it removed (so a value may keep blanks inside).
std::string_view cleanValue(std::string_view value)
{
    value = trim(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return value;
}

// Index of the first section line called section, or lines.size().
size_t findSection(const std::vector<Line>& lines, std::string_view section)
{
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Line::Section && sameName(lines[i].name, section))
            return i;
    }
    return lines.size();
}

size_t sectionEnd(const std::vector<Line>& lines, size_t header)
{
    size_t i = header + 1;
    while (i < lines.size() && lines[i].kind != Line::Section)
        ++i;
    return i;
}

} // namespace

std::optional<std::string> lookup(std::string_view text, std::string_view section, std::string_view key)
{
    section = trim(section);
    key = trim(key);
    const auto lines = split(text);
    const size_t header = findSection(lines, section);
    if (header == lines.size())
        return std::nullopt;
    const size_t end = sectionEnd(lines, header);
    for (size_t i = header + 1; i < end; ++i) {
        if (lines[i].kind == Line::Key && sameName(lines[i].name, key))
            return std::string(cleanValue(lines[i].value));
    }
    return std::nullopt;
}

bool writable(std::string_view section, std::string_view key, std::string_view value)
{
    const auto noBreak = [](std::string_view s) { return s.find_first_of("\r\n") == std::string_view::npos; };
    section = trim(section);
    key = trim(key);
    return !section.empty() && noBreak(section) && section.find(']') == std::string_view::npos && !key.empty() &&
           noBreak(key) && key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';' &&
           noBreak(value);
}

std::string update(std::string_view text, std::string_view section, std::string_view key, std::string_view value)
{
    section = trim(section);
    key = trim(key);
    const auto lines = split(text);
    // New lines follow the line ends the file already uses.
    const std::string eol(!lines.empty() && !lines[0].end.empty() ? lines[0].end : std::string_view("\n"));

    std::vector<std::string> out;
    out.reserve(lines.size() + 3);
    for (const Line& line : lines)
        out.push_back(std::string(line.raw) + std::string(line.end.empty() ? std::string_view(eol) : line.end));

    const std::string keyLine = std::string(key) + "=" + std::string(value) + eol;
    const size_t header = findSection(lines, section);
    if (header == lines.size()) {
        // A blank line between the last section and the new one.
        if (!lines.empty() && !lines.back().blank)
            out.push_back(eol);
        out.push_back("[" + std::string(section) + "]" + eol);
        out.push_back(keyLine);
    } else {
        const size_t end = sectionEnd(lines, header);
        // A new key goes after the last non-blank line of the section, so
        // the blank lines that separate sections stay where they are.
        size_t lastFilled = header;
        bool replaced = false;
        for (size_t i = header + 1; i < end && !replaced; ++i) {
            const Line& line = lines[i];
            if (line.kind == Line::Key && sameName(line.name, key)) {
                out[i] = std::string(line.name) + "=" + std::string(value) +
                         std::string(line.end.empty() ? std::string_view(eol) : line.end);
                replaced = true;
            } else if (!line.blank) {
                lastFilled = i;
            }
        }
        if (!replaced)
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(lastFilled + 1), keyLine);
    }

    std::string result;
    for (const std::string& line : out)
        result += line;
    return result;
}

} // namespace ini
