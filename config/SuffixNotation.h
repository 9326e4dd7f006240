#pragma once
// The notation in which the Port Setting dialog shows and accepts the
// auto-suffix. The grid and the table hold the raw characters, which may be
// control characters; the operator edits them as items separated by ";":
//
//   raw CR LF  <->  "#13;#10"        raw "AB"  <-  "A;B"  ->  shown "#65;#66"
//
// Both functions work on bytes (0..255); no allocation beyond the result.
#include <string>
#include <string_view>

// Every byte becomes "#" + its code in decimal (0..255), the items joined
// with ";". An empty suffix gives an empty text.
std::string SuffixToNotation(std::string_view raw);

// Items end at ";" and at every run of blanks and control characters (codes
// 0..32 and 127), which are dropped: a blank has to be written #32. An item
// that starts with a double quote runs to the closing double quote (or the
// end of the text), and "" inside it stands for one ". An item of two or more
// characters that is "#" followed by a decimal integer becomes the one byte
// whose code is that integer modulo 256 (negative values wrap, #-1 is 255),
// whether it was quoted or not; every other item is taken as it is. The items are joined without
// separators.
std::string NotationToSuffix(std::string_view text);
