// A TIFF file given to the PDF conversion.
#include "fuzzcheck.h"
#include "fuzzfiles.h"
#include "tiff2pdf.h"
#include "tiffwork.h"

#include <QFile>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool silenced = (FuzzFiles::SilenceTiff(), true);
    (void)silenced;
    const QString tiff = FuzzFiles::Write("input.tiff", data, size);
    if (ClaimsTooMuchWork({tiff})) {
        FuzzFiles::Clear();
        return 0;
    }
    const QString pdf = FuzzFiles::Path("output.pdf");
    const int result = convert2pdf(tiff, pdf);

    // A whole document, whose reader finds the cross-reference table where
    // the trailer says, or none at all.
    QFile document(pdf);
    if (result == 0) {
        FUZZ_CHECK(document.open(QIODevice::ReadOnly));
        const QByteArray bytes = document.readAll();
        FUZZ_CHECK(bytes.startsWith("%PDF-1.") && bytes.endsWith("%%EOF\n"));
        const int at = bytes.lastIndexOf("startxref\n");
        FUZZ_CHECK(at > 0);
        const int xref = bytes.mid(at + 10).split('\n').value(0).toInt();
        FUZZ_CHECK(bytes.mid(xref, 5) == "xref\n");
    } else {
        FUZZ_CHECK(!document.exists());
    }
    FUZZ_CHECK(!QFile::exists(pdf + QStringLiteral(".part")));
    FuzzFiles::Clear();
    return 0;
}
