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

static const char kHelp[] =
    "usage: velloscan-doc multitiff OUT.tiff IN.tiff... | velloscan-doc pdf IN.tiff OUT.pdf\n"
    "\n"
    "  multitiff  copies every image directory of the inputs, in order, into one\n"
    "             multi-page TIFF, LZW-compressed in strips of 16 rows. An input\n"
    "             may name its directories: page.tiff,1 or page.tiff,2,0.\n"
    "  pdf        makes one PDF page of every page of a TIFF: colour and gray\n"
    "             pages are encoded as JPEG (16-bit samples keep their high\n"
    "             byte), black-and-white ones as CCITT Group 4. JPEG data,\n"
    "             and Group 4 or Deflate data stored in one strip or in tiles,\n"
    "             is copied into the PDF as it is, without\n"
    "             decoding it: damage in such data goes into the document\n"
    "             unnoticed, and shows only when it is viewed.\n"
    "\n"
    "Exit status: 0 done, 1 failed (the reason on standard error), 2 usage.\n"
    "Outputs are written under their name plus .part and renamed when done;\n"
    "an output name (or its .part) that is already taken fails, and nothing\n"
    "is replaced. A failed pdf leaves nothing at OUT.pdf; a failed multitiff\n"
    "leaves the pages copied before an unreadable input, or nothing when the\n"
    "first one failed or the output could not be written.\n";

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "multitiff") == 0) {
        QList<QString> inputs;
        for (int i = 3; i < argc; ++i)
            inputs.append(QFile::decodeName(argv[i]));
        return combine2multiff(inputs, QFile::decodeName(argv[2]), QStringLiteral("lzw"));
    }
    if (argc == 4 && std::strcmp(argv[1], "pdf") == 0)
        return convert2pdf(QFile::decodeName(argv[2]), QFile::decodeName(argv[3])) == 0 ? 0 : 1;
    std::fputs(kHelp, stderr);
    return 2;
}
