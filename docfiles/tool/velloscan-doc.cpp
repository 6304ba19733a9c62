// velloscan-doc: assembles page files into a multi-page TIFF, or turns a
// multi-page TIFF into a PDF. The exit status is the operation's result
// (0 success, 1 failure); 2 means the command line was not understood.

#include "multitiff.h"
#include "tiff2pdf.h"

#include <QFile>
#include <QList>
#include <QString>

#include <cstdio>
#include <cstring>

static int usage()
{
    std::fprintf(stderr, "usage: velloscan-doc multitiff OUT.tiff IN.tiff... | velloscan-doc pdf IN.tiff OUT.pdf\n");
    return 2;
}

int main(int argc, char **argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "multitiff") == 0) {
        QList<QString> inputs;
        for (int i = 3; i < argc; ++i)
            inputs.append(QFile::decodeName(argv[i]));
        return combine2multiff(inputs, QFile::decodeName(argv[2]), QStringLiteral("lzw"));
    }
    if (argc == 4 && std::strcmp(argv[1], "pdf") == 0)
        return convert2pdf(QFile::decodeName(argv[2]), QFile::decodeName(argv[3])) == 0 ? 0 : 1;
    return usage();
}
