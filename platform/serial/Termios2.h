#pragma once
// termios2 calls for exact bit rates (BOTHER). They live in their own file
// because the kernel's termios headers clash with the C library's <termios.h>.
// Internal to the serial device layer.
#include <cstdint>

namespace serial::detail {

// Line flags and control characters taken over from a C library termios.
struct KernelLine {
    unsigned iflag = 0;
    unsigned oflag = 0;
    unsigned cflag = 0; // the speed bits are replaced
    unsigned lflag = 0;
    const unsigned char* cc = nullptr; // indexed by VINTR..VEOL2 (same in both layouts)
    unsigned ccCount = 0;
};

// Sets the line with the exact rate for input and output in one TCSETS2.
// Returns 0 or an errno value.
int SetLineWithRate(int fd, const KernelLine& line, std::uint32_t rate);

// The rates the line runs at, whether set by Bxxx or by an exact number.
// Returns 0 or an errno value.
int GetLineRates(int fd, std::uint32_t& input, std::uint32_t& output);

} // namespace serial::detail
