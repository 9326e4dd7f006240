#pragma once
// The address space of the simulated OPC server: tags declared by the user,
// of string, boolean or integer type. A string tag is a fixed buffer of 256
// characters, as a controller's string array is: besides the tag itself,
// each character is an item of its own, Name[1] .. Name[256], holding the
// character code (an unsigned 8-bit integer). The string's value is the
// buffer up to its first NUL. Writing the string refills the buffer (NULs
// after it); writing an element changes that one character and leaves the
// rest as they were, so a shorter string written character by character
// keeps the tail of a longer one.
//
// Main thread only, like the OPC objects that read the tag table.
#include "Globals.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct SimTagSpec {
    std::string name;
    VARTYPE type = VT_BSTR;  // VT_BSTR, VT_BOOL or VT_I4
    std::string initial;     // as given; empty: "", false, 0
};

// "Name:string", "Flag:int=0", "Ready:bool=true" (type words: string, bool,
// boolean, int, integer; any case). nullopt and why for anything else.
std::optional<SimTagSpec> ParseTagSpec(std::string_view text, std::string& error);
// One declaration per line; blank lines and lines starting with # are
// skipped. False and why (with the line number) on the first bad line or
// when the file cannot be read.
bool ReadTagFile(const std::string& path, std::vector<SimTagSpec>& specs, std::string& error);

class SimAddressSpace {
public:
    static constexpr int kElements = 256;

    explicit SimAddressSpace(TTagTable& tags) : tags_(tags) {}

    // Declares a tag (and the elements of a string tag) with its initial
    // value. False and why for a name in use, too long, containing "[", or a
    // value not of the tag's type.
    bool Add(const SimTagSpec& spec, std::string& error);

    // A client stored a value in the record of tagIndex: the string and its
    // elements are brought back in step.
    void Stored(int tagIndex);

    // The current text of a tag by name (for the console); nullopt when none.
    std::optional<std::string> Text(std::string_view name) const;
    std::size_t DeclaredCount() const { return declared_; }

private:
    struct StringTag {
        int index = -1;
        int firstElement = -1;
        std::array<unsigned char, kElements> chars{};
    };
    void refreshString(StringTag& s);
    void setString(StringTag& s, std::string_view text);

    TTagTable& tags_;
    std::vector<StringTag> strings_;
    // Tag index of a string or of an element -> (string, element position or -1).
    std::map<int, std::pair<std::size_t, int>> owner_;
    std::size_t declared_ = 0;
};
