// linvaro-scale-sim: a simulated weighing scale on a pseudo-terminal. Prints
// the device path to use (the slave side) on its first line, then sends a
// gross weight line ("ST,GS,+  12.345 kg" CR LF) every half second until it
// is ended (SIGINT or SIGTERM). Strings written to the device by the program
// are echoed on standard output.
//   linvaro-scale-sim [--interval MS]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
volatile sig_atomic_t g_stop = 0;
}

int main(int argc, char** argv)
{
    int intervalMs = 500;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--interval") == 0 && i + 1 < argc)
            intervalMs = std::atoi(argv[++i]);

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("linvaro-scale-sim: no pseudo-terminal");
        return 1;
    }
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    std::printf("%s\n", ptsname(master));
    std::fflush(stdout);

    struct sigaction sa{};
    sa.sa_handler = [](int) { g_stop = 1; };
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    unsigned n = 0;
    auto next = std::chrono::steady_clock::now();
    while (!g_stop) {
        if (std::chrono::steady_clock::now() >= next) {
            const double kg = 12.0 + static_cast<double>((n++ * 37) % 500) / 1000.0;
            char line[64];
            const int len = std::snprintf(line, sizeof line, "ST,GS,+%8.3f kg\r\n", kg);
            // Nobody has the device open yet: the line waits in the terminal.
            [[maybe_unused]] ssize_t w = write(master, line, static_cast<size_t>(len));
            next += std::chrono::milliseconds(intervalMs);
        }
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char buf[256];
            const ssize_t got = read(master, buf, sizeof buf);
            if (got > 0) {
                std::printf("scale received: ");
                for (ssize_t i = 0; i < got; ++i)
                    std::printf(buf[i] >= 32 ? "%c" : "<%02X>", static_cast<unsigned char>(buf[i]));
                std::printf("\n");
                std::fflush(stdout);
            }
        }
    }
    close(master);
    return 0;
}
