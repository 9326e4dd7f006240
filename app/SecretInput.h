#pragma once
// A secret for a command-line switch (--set-mqtt-password, --add-ua-user):
// asked for on standard error and read without echo from a terminal, or
// read as one line from standard input otherwise, so that scripts and tests
// can pipe it. Main thread, before the event loop runs.
#include <string>

// False when standard input ended before a line came.
bool ReadSecretLine(const std::string& prompt, std::string& secret);
