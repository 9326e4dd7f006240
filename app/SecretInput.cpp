#include "SecretInput.h"

#include <cstdio>
#include <iostream>

#include <termios.h>
#include <unistd.h>

bool ReadSecretLine(const std::string& prompt, std::string& secret)
{
    const bool terminal = isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        std::fprintf(stderr, "%s", prompt.c_str());
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, secret));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fprintf(stderr, "\n");
    }
    return read;
}
