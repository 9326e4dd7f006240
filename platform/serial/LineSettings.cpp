#include "LineSettings.h"

#include <termios.h>

#include <cctype>
#include <cstring>

namespace serial {

namespace {

struct StandardRate {
    std::uint32_t rate;
    speed_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t CharSizeFlag(std::uint8_t byteSize)
{
    switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

} // namespace

LineSpeed SpeedForBaud(std::uint32_t baud)
{
    for (const StandardRate& r : kStandardRates) {
        if (r.rate == baud)
            return {true, r.code, baud};
    }
    return {false, 0, baud};
}

bool DcbToTermios(const DCB& dcb, termios& out)
{
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY
        || dcb.StopBits > TWOSTOPBITS)
        return false;

    termios t;
    std::memset(&t, 0, sizeof t);

    // A break is a line event, not a data byte, as on Windows.
    t.c_iflag = IGNBRK;
    if (dcb.Flags & DcbFlags::fOutX)
        t.c_iflag |= IXON;
    if (dcb.Flags & DcbFlags::fInX)
        t.c_iflag |= IXOFF;

    t.c_oflag = 0;
    t.c_lflag = 0;

    // HUPCL: the last close lowers DTR and RTS, as closing a port on Windows does.
    t.c_cflag = CLOCAL | CREAD | HUPCL | CharSizeFlag(dcb.ByteSize);
    switch (dcb.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb.StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    if (dcb.Flags & DcbFlags::fOutxCtsFlow)
        t.c_cflag |= CRTSCTS;

    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

    const LineSpeed speed = SpeedForBaud(dcb.BaudRate);
    const speed_t code = speed.standard ? static_cast<speed_t>(speed.code) : B38400;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);

    out = t;
    return true;
}

ModemControl ModemControlFor(const DCB& dcb)
{
    ModemControl lines;
    lines.dtr = (dcb.Flags & DcbFlags::DTR_CONTROL_ENABLE) != 0;
    const std::uint32_t rts = dcb.Flags & DcbFlags::RTS_CONTROL_MASK;
    lines.rts = rts == DcbFlags::RTS_CONTROL_ENABLE || rts == DcbFlags::RTS_CONTROL_HANDSHAKE;
    return lines;
}

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";

std::string_view withoutDevicePrefix(std::string_view name)
{
    if (name.substr(0, kDevicePrefix.size()) == kDevicePrefix)
        name.remove_prefix(kDevicePrefix.size());
    return name;
}

bool startsWithCom(std::string_view name)
{
    if (name.size() < 3)
        return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return false;
    }
    return true;
}

std::string invalidPort(std::string_view name)
{
    return "Invalid Port setting \"" + std::string(name) + "\"! Ports are COM1 to COM" + std::to_string(kMaxComPort) +
           " or an absolute device path.";
}

} // namespace

unsigned ComPortNumber(std::string_view name)
{
    name = withoutDevicePrefix(name);
    if (name.size() < 4 || !startsWithCom(name))
        return 0;
    name.remove_prefix(3);
    if (name.size() > 3 || name.front() == '0')
        return 0;
    unsigned n = 0;
    for (char c : name) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    return n <= kMaxComPort ? n : 0;
}

DeviceResolution ResolveDevice(const std::string& name, const ComPortMapping& lookup)
{
    DeviceResolution result;
    const std::string_view bare = withoutDevicePrefix(name);
    const unsigned n = ComPortNumber(bare);
    if (n == 0) {
        if (!bare.empty() && bare.front() == '/')
            result.path = std::string(bare);
        else
            result.error = invalidPort(bare);
        return result;
    }
    const std::string com = "COM" + std::to_string(n);
    const DeviceMapping mapping = lookup ? lookup(com) : DeviceMapping {};
    switch (mapping.kind) {
    case DeviceMapping::Kind::Unmapped:
        result.path = "/dev/ttyS" + std::to_string(n - 1);
        break;
    case DeviceMapping::Kind::Path:
        if (!mapping.text.empty() && mapping.text.front() == '/')
            result.path = mapping.text;
        else
            result.error = com + " is mapped to \"" + mapping.text +
                           "\" in [Serial Ports], which is not an absolute device path; no device is opened.";
        break;
    case DeviceMapping::Kind::Refused:
        result.error = mapping.text.empty() ? com + ": no device is opened." : mapping.text;
        break;
    }
    return result;
}

DeviceMapping MappingFromPath(const std::string& path)
{
    return path.empty() ? DeviceMapping {} : DeviceMapping {DeviceMapping::Kind::Path, path};
}

std::string ResolveDevicePath(const std::string& name, const ComPortLookup& lookup)
{
    ComPortMapping mapping;
    if (lookup)
        mapping = [&lookup](const std::string& com) { return MappingFromPath(lookup(com)); };
    return ResolveDevice(name, mapping).path;
}

} // namespace serial
