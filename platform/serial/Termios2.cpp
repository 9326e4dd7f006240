#include "Termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace serial::detail {

int SetLineWithRate(int fd, const KernelLine& line, std::uint32_t rate)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    t.c_iflag = line.iflag;
    t.c_oflag = line.oflag;
    t.c_lflag = line.lflag;
    t.c_cflag = (line.cflag & ~(CBAUD | CIBAUD)) | BOTHER | (BOTHER << IBSHIFT);
    for (unsigned i = 0; i < NCCS && i < line.ccCount; ++i)
        t.c_cc[i] = line.cc[i];
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    if (ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

int GetLineRates(int fd, std::uint32_t& input, std::uint32_t& output)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    input = t.c_ispeed;
    output = t.c_ospeed;
    return 0;
}

} // namespace serial::detail
