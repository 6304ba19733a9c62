// A list of one to three TIFF files given to the multi-page assembly. The
// input holds the files one after the other, each "|NEXT|" starting the
// next; a third file takes the rest.
#include "fuzzcheck.h"
#include "fuzzfiles.h"
#include "multitiff.h"
#include "tiffwork.h"

#include <QByteArray>
#include <QFile>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <tiffio.h>

namespace {

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};
using Tiff = std::unique_ptr<TIFF, TiffCloser>;

constexpr int MaxFiles = 3;
const QByteArray Separator("|NEXT|");

// Whether the output has strips or tiles is decided once per process, by the
// first directory ever copied. A striped page settles it as the service's
// own pages do, so that every input is judged alike whatever ran before it.
void settleStripOutput()
{
    const QString page = FuzzFiles::Path("settle.tiff");
    {
        Tiff t(TIFFOpen(QFile::encodeName(page).constData(), "w"));
        FUZZ_CHECK(t);
        TIFFSetField(t.get(), TIFFTAG_IMAGEWIDTH, 8);
        TIFFSetField(t.get(), TIFFTAG_IMAGELENGTH, 1);
        TIFFSetField(t.get(), TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t.get(), TIFFTAG_ROWSPERSTRIP, 1);
        unsigned char row[8] = {};
        FUZZ_CHECK(TIFFWriteScanline(t.get(), row, 0, 0) == 1);
    }
    FUZZ_CHECK(combine2multiff({page}, FuzzFiles::Path("settled.tiff"), QStringLiteral("lzw")) == 0);
    FuzzFiles::Clear();
}

// The directories of a TIFF file as libtiff reads them, or -1 when it can't
// open it.
int directories(const QString &path)
{
    Tiff t(TIFFOpen(QFile::encodeName(path).constData(), "r"));
    if (!t)
        return -1;
    int count = 1;
    while (TIFFReadDirectory(t.get()))
        ++count;
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool settled = (FuzzFiles::SilenceTiff(), settleStripOutput(), true);
    (void)settled;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    QList<QString> files;
    for (int from = 0; files.size() < MaxFiles;) {
        int to = input.indexOf(Separator, from);
        if (to < 0 || files.size() == MaxFiles - 1)
            to = input.size();
        const QByteArray name = "input" + QByteArray::number(files.size()) + ".tiff";
        files << FuzzFiles::Write(name.constData(), data + from, size_t(to - from));
        if (to == input.size())
            break;
        from = to + Separator.size();
    }
    if (ClaimsTooMuchWork(files)) {
        FuzzFiles::Clear();
        return 0;
    }
    const QString out = FuzzFiles::Path("output.tiff");
    const int result = combine2multiff(files, out, QStringLiteral("lzw"));

    // Success leaves every directory of every input; a failure the
    // directories completed before it, still readable, or nothing.
    if (result == 0) {
        int all = 0;
        for (const QString &file : files)
            all += directories(file);
        FUZZ_CHECK(directories(out) == all);
    } else {
        FUZZ_CHECK(!QFile::exists(out) || directories(out) >= 1);
    }
    FUZZ_CHECK(!QFile::exists(out + QStringLiteral(".part")));
    FuzzFiles::Clear();
    return 0;
}
