#pragma once
// The program's picture: a plug, grey while scanning is stopped, green while
// it runs. The tray shows it, the window and the desktop entry use the green
// one as the program icon.
#include <QImage>

#include <array>

// Square sizes the freedesktop.org icon theme (hicolor) holds application
// icons in; the installed icons and the window icon come in these.
inline constexpr std::array<int, 8> kProgramIconSizes = {16, 22, 24, 32, 48, 64, 128, 256};

// The plug drawn on a transparent square of size x size pixels.
QImage PlugImage(bool started, int size);
