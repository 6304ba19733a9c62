// The scan job: from "CSCAN" to its last message.
#include "scanjob.h"

#include "devicecatalog.h"
#include "multitiff.h"
#include "scratchfolder.h"
#include "tiff2pdf.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

// Page reports the main thread may owe before the job waits for it.
constexpr int MaxUnreported = 4;
// Far more than a job can announce: releasing this many ends any wait.
constexpr int ReleaseAll = 1 << 30;

bool isDocumentFormat(const QString &format)
{
    return format == QLatin1String("mulpdf") || format == QLatin1String("pdf")
        || format == QLatin1String("multiff");
}

QString timeStamp()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toString(QStringLiteral("yyyyMMdd")) + now.toString(QStringLiteral("HHmmsszzz"));
}

} // namespace

ScanJob::ScanJob(const JobSetup &setup, DeviceCatalog &catalog)
    : m_setup(setup)
    , m_catalog(catalog)
    , m_number(setup.firstNumber)
    , m_reportSlots(MaxUnreported)
{
    qRegisterMetaType<RetMsg>();
}

void ScanJob::Run()
{
    // The engine and the option tables are ours only once the preload is over.
    const EngineLoan loan = m_catalog.Lend();
    m_engine = &loan.Engine();
    const int status = ScanImage(loan);
    RetMsg last;
    if (status == SANE_STATUS_GOOD) {
        last = EndProcessScan();
    } else if (status == NoDeviceChosen || status == FolderNotMade || status == ScanFailed) {
        last = Reply::Error(ReplyCode(status));
    } else {
        last = Reply::SaneStatus(status);
    }
    m_engine = nullptr;
    emit finished(last, m_number);
}

void ScanJob::Stop()
{
    m_stopping = true;
    m_reportSlots.release(ReleaseAll);
    // The engine outlives the job; a stop that comes before the engine was
    // lent, or after the job ended, has nothing to cancel.
    if (SaneScan *engine = m_engine)
        engine->RequestStop();
}

void ScanJob::PageReported()
{
    m_reportSlots.release();
}

// The job's result: 0 for the end message, one of the service's codes, or a
// SANE status.
int ScanJob::ScanImage(const EngineLoan &loan)
{
    SaneScan &engine = loan.Engine();
    ScannerOption &model = loan.Options();
    const QString &device = m_setup.device;
    if (device.isEmpty())
        return NoDeviceChosen;
    if (!CheckScratchFolders() || !CreateMultiDir(m_setup.files.imgPath))
        return FolderNotMade;
    emit started();

    const QString format = m_setup.files.imageFormat;
    m_isMulPdf = format == QLatin1String("mulpdf");
    m_isPdf = format == QLatin1String("pdf");
    m_isMulTiff = format == QLatin1String("multiff");
    QString prefix;
    QString scanFormat;
    ClearDirectory(m_setup.workFolder);
    if (isDocumentFormat(format)) {
        prefix = m_setup.workFolder + QLatin1Char('/') + m_setup.files.prefix;
        scanFormat = QStringLiteral("tiff");
    } else {
        prefix = m_setup.files.imgPath + QLatin1Char('/') + m_setup.files.prefix;
        scanFormat = format;
    }

    // Only the maker's devices are offered, and only those may be opened:
    // a page must not read or scan from a camera that happens to be attached.
    int status = ScannerOption::IsOfferedDevice(device) ? engine.OpenDevice(device) : SaneStatusNoDevice;
    if (status != SANE_STATUS_GOOD)
        return status;
    // Only now: a wrong or absent device must not cost the user files.
    DeleteImageFilesBeforeScan();

    // A device the preload did not reach still gets the page's options, by
    // the names it reports now that it is open.
    const OptionTable deviceOptions = engine.GetAllOptions();
    model.SetCurrentOptionNames(device);
    if (!model.HasCurrentOptionNames())
        model.SetCurrentOptionNames(QStringList(deviceOptions.keys()));
    const QHash<QString, QString> choices = model.GetOptionFromJson(m_setup.choices);
    for (const auto &option : model.OrganizeOptions(device, choices))
        engine.SetOption(option.first, option.second);
    bool flatbed = model.IsFlatbed();
    // Without a source from the page the device's own decides: a flatbed
    // gives a page at every start, so a job taken for a feeder never ends.
    if (choices.value(QStringLiteral("source")).isEmpty() && !ScannerOption::IsAlwaysFlatbed(device))
        flatbed = deviceOptions.value(QStringLiteral("source")).current == QLatin1String("Flatbed");

    const QMetaObject::Connection pages = connect(&engine, &SaneScan::sglScanOneImageDone, this,
                                                  &ScanJob::OnScanOneImageDone, Qt::DirectConnection);
    status = engine.Scan(prefix, scanFormat, m_number, m_setup.digits, flatbed);
    disconnect(pages);
    engine.CloseDevice();

    if (m_stopping)
        return status == SANE_STATUS_GOOD ? SANE_STATUS_CANCELLED : status;
    if (status != SANE_STATUS_GOOD)
        return status;
    if (m_scannedFiles.isEmpty()) {
        m_isMulPdf = m_isMulTiff = m_isPdf = false;
        return SANE_STATUS_GOOD;
    }
    // Never name a document that was not made; the pages stay where they
    // were scanned.
    if ((m_isMulPdf && !SaveMultiPagePdf()) || (m_isMulTiff && !SaveMultiPageTiff()))
        return ScanFailed;
    if (m_isMulPdf || m_isMulTiff) {
        emit documentReady(m_documentPath);
        ++m_number;
    }
    return SANE_STATUS_GOOD;
}

// The scratch folders were ours at start, but a cleaner of the temporary
// folder may have removed them since, and someone else made them anew.
bool ScanJob::CheckScratchFolders() const
{
    QStringList scratch{m_setup.workFolder};
    if (m_setup.files.imgPath == m_setup.defaultFolder)
        scratch << m_setup.defaultFolder;
    for (const QString &folder : scratch) {
        QString why;
        if (!ScratchFolder::Ensure(folder, &why)) {
            std::fprintf(stderr, "velloscan: %s is no longer a private folder of this user (%s); not scanning\n",
                         qUtf8Printable(folder), qUtf8Printable(why));
            return false;
        }
    }
    return true;
}

// On the scan thread, as the engine announces each page.
void ScanJob::OnScanOneImageDone(const QString &imgPath)
{
    m_scannedFiles.append(imgPath);
    if (m_isMulPdf || m_isMulTiff)
        return;
    const QString report = m_isPdf ? SaveSiglePagePdf(imgPath) : imgPath;
    ++m_number;
    m_reportSlots.acquire();
    emit pageReady(report, m_number);
}

RetMsg ScanJob::EndProcessScan() const
{
    if (m_isMulPdf)
        return Reply::Document(QStringLiteral("pdf|") + m_documentPath);
    if (m_isMulTiff)
        return Reply::Document(QStringLiteral("tiff|") + m_documentPath);
    return Reply::AllScanned();
}

QString ScanJob::GetScanFile(const QString &suffix) const
{
    const QString number = QStringLiteral("%1").arg(int(m_number), qMax(0, m_setup.digits), 10, QLatin1Char('0'));
    return m_setup.files.imgPath + QLatin1Char('/') + m_setup.files.prefix + number + QLatin1Char('.') + suffix;
}

bool ScanJob::CreateMultiDir(const QString &path)
{
    if (QDir(path).exists())
        return true;
    // Always from the root: a relative path is taken as if it began with "/".
    QString built;
    for (const QString &piece : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        built += QLatin1Char('/') + piece;
        if (!QDir(built).exists() && !QDir().mkpath(built))
            return false;
    }
    return true;
}

bool ScanJob::SaveMultiPagePdf()
{
    m_documentPath = GetScanFile(QStringLiteral("pdf"));
    const QString tiff = m_setup.workFolder + QLatin1Char('/') + timeStamp() + QStringLiteral(".tiff");
    if (combine2multiff(m_scannedFiles, tiff, QStringLiteral("lzw")) != 0
        || convert2pdf(tiff, m_documentPath) != 0) {
        std::fprintf(stderr, "velloscan: the PDF %s could not be made from %d pages\n",
                     qUtf8Printable(m_documentPath), int(m_scannedFiles.size()));
        return false;
    }
    return true;
}

bool ScanJob::SaveMultiPageTiff()
{
    m_documentPath = GetScanFile(QStringLiteral("tiff"));
    if (combine2multiff(m_scannedFiles, m_documentPath, QStringLiteral("lzw")) != 0) {
        std::fprintf(stderr, "velloscan: the TIFF %s could not be made from %d pages\n",
                     qUtf8Printable(m_documentPath), int(m_scannedFiles.size()));
        return false;
    }
    return true;
}

QString ScanJob::SaveSiglePagePdf(const QString &page)
{
    const QString pdf = GetScanFile(QStringLiteral("pdf"));
    const QString tiff = m_setup.workFolder + QLatin1Char('/') + timeStamp() + QStringLiteral(".tiff");
    if (combine2multiff({page}, tiff, QStringLiteral("lzw")) == 0 && convert2pdf(tiff, pdf) == 0)
        return pdf;
    // The page must not be lost, nor named as a PDF that does not exist: it
    // goes to the output folder as the TIFF it was scanned to, under the
    // number the PDF would have had (the work folder is emptied by the next job).
    const QString kept = GetScanFile(QStringLiteral("tiff"));
    QFile::remove(kept);
    if (!QFile::rename(page, kept) && !QFile::copy(page, kept)) {
        std::fprintf(stderr, "velloscan: no PDF could be made of %s; it stays there\n", qUtf8Printable(page));
        return page;
    }
    std::fprintf(stderr, "velloscan: no PDF could be made of %s; the page is kept as %s\n",
                 qUtf8Printable(page), qUtf8Printable(kept));
    return kept;
}

void ScanJob::DeleteImageFilesBeforeScan()
{
    if (!m_setup.deleteFilesBeforeScan)
        return;
    const QFileInfoList files = QDir(m_setup.files.imgPath).entryInfoList(QDir::Files, QDir::Unsorted);
    for (const QFileInfo &file : files) {
        const QString suffix = file.suffix().toLower();
        if (suffix == QLatin1String("jpg") || suffix == QLatin1String("png") || suffix == QLatin1String("pnm")
            || suffix == QLatin1String("tiff") || suffix == QLatin1String("pdf"))
            QFile::remove(file.filePath());
    }
    emit filesDeleted();
}
