#pragma once
// Line settings of a serial port as Windows describes them (the DCB), and
// their translation to termios. Everything here is pure: no descriptor, no
// I/O, so each value can be checked without a device.
//
// No OS header is included here; `struct termios` is only declared.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct termios;

namespace serial {

// The Windows DCB, field for field (28 bytes). Windows packs the flags into
// bit fields; here they are one word with the same bit positions.
struct DCB {
    std::uint32_t DCBlength = sizeof(DCB);
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0; // DcbFlags below
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 8; // 5..8
    std::uint8_t Parity = 0;   // DcbParity
    std::uint8_t StopBits = 0; // DcbStopBits
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Windows layout");

namespace DcbFlags {
constexpr std::uint32_t fBinary = 0x1;
constexpr std::uint32_t fOutxCtsFlow = 0x4;
constexpr std::uint32_t DTR_CONTROL_ENABLE = 0x10;    // fDtrControl = 1
constexpr std::uint32_t fOutX = 0x100;
constexpr std::uint32_t fInX = 0x200;
constexpr std::uint32_t RTS_CONTROL_ENABLE = 0x1000;    // fRtsControl = 1
constexpr std::uint32_t RTS_CONTROL_HANDSHAKE = 0x2000; // fRtsControl = 2
constexpr std::uint32_t RTS_CONTROL_MASK = 0x3000;
} // namespace DcbFlags

enum DcbParity : std::uint8_t { NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY };
enum DcbStopBits : std::uint8_t { ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS };

// How a bit rate is given to the kernel.
struct LineSpeed {
    bool standard = false;  // `code` is an exact Bxxx constant
    unsigned code = 0;      // speed_t for cfsetispeed/cfsetospeed when standard
    std::uint32_t rate = 0; // bits per second; set with termios2 (BOTHER) when not standard
};

// Bxxx when the rate has an exact constant; otherwise standard = false and
// the device sets the exact number through termios2. Rates such as 14400,
// 56000, 128000 and 256000 have no constant.
LineSpeed SpeedForBaud(std::uint32_t baud);

// Raw-mode termios for the DCB: no echo, no canonical input, no signals, no
// CR/NL translation, no output processing; CLOCAL|CREAD; a read returns at
// once with what is there (VMIN 0, VTIME 0). Data bits, parity (mark and
// space through CMSPAR), stop bits, XON/XOFF (fOutX -> IXON, fInX -> IXOFF,
// with XonChar/XoffChar as VSTART/VSTOP) and the CTS handshake (CRTSCTS).
//
// Stop bits: termios knows one or two. Both 1.5 and 2 set CSTOPB; a UART
// sends 1.5 stop bits for CSTOPB with 5 data bits and 2 otherwise.
//
// For a rate without a Bxxx constant the speed fields hold B38400 as a safe
// placeholder; the device replaces it with the exact rate.
//
// Returns false, leaving `out` untouched, when BaudRate is 0 or ByteSize,
// Parity or StopBits is out of range (Windows refuses those too).
bool DcbToTermios(const DCB& dcb, termios& out);

// Modem control lines to drive after applying a DCB: DTR up for
// DTR_CONTROL_ENABLE, RTS up for RTS_CONTROL_ENABLE and for the handshake
// (the kernel then drives it), both down otherwise.
struct ModemControl {
    bool dtr = false;
    bool rts = false;
};
ModemControl ModemControlFor(const DCB& dcb);

// Device names. A Windows port name "\\.\COMn" or "COMn" (any case) in
// canonical form (1 <= n <= 500, no leading zero) gives n; anything else 0.
unsigned ComPortNumber(std::string_view name);
inline constexpr unsigned kMaxComPort = 500;

// What section "Serial Ports" of the program's INI file says of "COMn":
// nothing (the machine's own /dev/ttyS(n-1) is opened), a device path, or
// that no device may be opened (the key is present but empty, or the INI
// could not be read), with the reason in text.
struct DeviceMapping {
    enum class Kind { Unmapped, Path, Refused };
    Kind kind = Kind::Unmapped;
    std::string text;
};
using ComPortMapping = std::function<DeviceMapping(const std::string& comName)>;

// The device to open for a port name, or why none is opened (path empty,
// error set). "\\.\COMn" and "COMn" follow the mapping; a name that looks
// like a COM port but is not canonical (COM0, COM03, COM501) is refused, as is
// every name or mapped path that is not absolute: nothing is ever opened
// relative to the current folder. An absolute path is used as it is.
struct DeviceResolution {
    std::string path;
    std::string error;
};
DeviceResolution ResolveDevice(const std::string& name, const ComPortMapping& lookup);

// The older form: the lookup returns the configured path or "" when there is
// none. Gives the path to open, or "" when the name is refused.
using ComPortLookup = std::function<std::string(const std::string& comName)>;
std::string ResolveDevicePath(const std::string& name, const ComPortLookup& lookup);
DeviceMapping MappingFromPath(const std::string& path);

} // namespace serial
