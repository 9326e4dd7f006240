// linvaro-icons: writes the program icon into an icon theme folder, one PNG
// per size the theme holds: OUT/hicolor/NxN/apps/linvaro.png. Run by the
// build; the files are installed with the program.
//   linvaro-icons OUT
#include "PlugImage.h"

#include <QDir>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: linvaro-icons OUT\n");
        return 2;
    }
    for (const int size : kProgramIconSizes) {
        const QString folder = QStringLiteral("%1/hicolor/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(size);
        if (!QDir().mkpath(folder) || !PlugImage(true, size).save(folder + "/linvaro.png", "PNG")) {
            std::fprintf(stderr, "linvaro-icons: cannot write %s/linvaro.png\n", qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
