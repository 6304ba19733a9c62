// The scan job: from "CSCAN" to its last message.
#include "scanjob.h"

#include "devicecatalog.h"
#include "growingdocument.h"
#include "multitiff.h"
#include "scratchfolder.h"
#include "tiff2pdf.h"
#include "sanescan.h"

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
// No feeder holds this many sheets; a job that gets more is stuck in a loop.
constexpr int MaxPages = 10000;
constexpr int ProgressIntervalMs = 250;

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
    , m_workNext(setup.workNext)
    , m_number(setup.firstNumber)
    , m_reportSlots(MaxUnreported)
{
    qRegisterMetaType<RetMsg>();
    m_documentThread.setMaxThreadCount(1);
}

ScanJob::~ScanJob() = default;

void ScanJob::Run()
{
    // The engine and the option tables are ours only once the preload is over.
    const int status = ScanImage(m_catalog.Lend());
    m_document.reset(); // a document not made leaves nothing behind
    // A document job that a jam or a cancel cut short keeps its pages for a
    // job that continues it.
    if (status > 0 && status < SaneStatusNoDevice && (m_isMulPdf || m_isMulTiff))
        m_keptPages = m_scannedFiles;
    RetMsg last;
    if (status == SANE_STATUS_GOOD) {
        last = EndProcessScan();
    } else if (status == NoDeviceChosen || status == FolderNotMade || status == ScanFailed) {
        last = Reply::Error(ReplyCode(status));
    } else {
        last = Reply::SaneStatus(status);
    }
    emit finished(last, m_number);
}

void ScanJob::Stop()
{
    m_stopping = true;
    m_reportSlots.release(ReleaseAll);
    m_loop.RequestStop();
}

bool ScanJob::Cancel()
{
    std::lock_guard<std::mutex> lock(m_phaseLock);
    // Once the last sheet is in, the document is as good as made.
    if (m_pastTheScanner)
        return false;
    m_cancelled = true;
    m_loop.RequestStop();
    return true;
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
    // A continued document keeps the pages its jammed job left there.
    m_scannedFiles = m_setup.keptFiles;
    if (m_scannedFiles.isEmpty())
        ClearDirectory(m_setup.workFolder);
    const bool document = isDocumentFormat(format);
    const QString scanFolder = document ? m_setup.workFolder : m_setup.files.imgPath;
    const QString scanFormat = document ? QStringLiteral("tiff") : format;

    if (m_cancelled)
        return SANE_STATUS_CANCELLED; // before the scanner was even opened
    // Only the maker's devices are offered, and only those may be opened:
    // a page must not read or scan from a camera that happens to be attached.
    int status = SaneStatusNoDevice;
    const std::unique_ptr<SaneDevice> open =
        ScannerOption::IsOfferedDevice(device) ? engine.OpenDevice(device, &status) : nullptr;
    if (!open)
        return status;
    // Only now: a wrong or absent device must not cost the user files.
    DeleteImageFilesBeforeScan();

    // A device the preload did not reach still gets the page's options, by
    // the names it reports now that it is open.
    const OptionTable deviceOptions = open->GetAllOptions();
    model.SetCurrentOptionNames(device);
    if (!model.HasCurrentOptionNames())
        model.SetCurrentOptionNames(QStringList(deviceOptions.keys()));
    const QHash<QString, QString> choices = model.GetOptionFromJson(m_setup.choices);
    for (const auto &option : model.OrganizeOptions(device, choices)) {
        if (const auto refusal = open->SetOption(option.first, option.second))
            std::fprintf(stderr, "%s\n", qUtf8Printable(refusal->reason));
    }
    const bool flatbed = IsFlatbed(*open, deviceOptions, model.IsFlatbed());

    PageNaming pages{scanFolder, m_setup.files.prefix, m_setup.digits,
                     document && m_setup.workNext > 0 ? m_setup.workNext : int(m_number), scanFormat};
    m_pages = &pages;
    if (m_setup.progress)
        m_loop.SetProgress([this](qint64 bytes, qint64 total) { OnProgress(bytes, total); });
    const QMetaObject::Connection announced = connect(&m_loop, &PageLoop::sglScanOneImageDone, this,
                                                      &ScanJob::OnScanOneImageDone, Qt::DirectConnection);
    for (const QString &kept : m_setup.keptFiles)
        AddToDocument(kept);
    status = m_loop.Scan(*open, pages, flatbed);
    disconnect(announced);
    m_pages = nullptr;
    m_documentThread.waitForDone();
    if (m_documentFailed && !m_failure)
        m_failure = ScanFailed;
    m_workNext = pages.next;
    if (!document)
        m_number = pages.next;
    {
        std::lock_guard<std::mutex> lock(m_phaseLock);
        m_pastTheScanner = true;
    }
    if (m_cancelled && !m_failure)
        return SANE_STATUS_CANCELLED;

    if (m_failure)
        return m_failure;
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
    const bool made = m_isMulPdf ? SaveMultiPagePdf() : m_isMulTiff ? SaveMultiPageTiff() : true;
    m_document.reset();
    if (!made)
        return ScanFailed;
    if (m_isMulPdf || m_isMulTiff) {
        emit documentReady(m_documentPath);
        m_number = m_documentNumber + 1;
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
    emit pageFinished();
    if (m_setup.progress)
        emit progressed(Reply::Progress(ProgressDocument(true, imgPath)));
    if (m_scannedFiles.size() >= MaxPages) {
        // A scanner that gives a page at every start would fill the disk.
        std::fprintf(stderr, "velloscan: %s gave %d pages in one job; stopping it\n",
                     qUtf8Printable(m_setup.device), MaxPages);
        Fail(ScanFailed);
    }
    if (m_isMulPdf || m_isMulTiff) {
        AddToDocument(imgPath);
        return;
    }
    QString report = imgPath;
    if (m_isPdf) {
        report = SaveSiglePagePdf(imgPath);
        // Never a report of a page in the work folder, which the next job
        // empties: the job ends as any page that cannot be written ends it.
        if (report.isEmpty()) {
            Fail(SANE_STATUS_ACCESS_DENIED);
            return;
        }
    } else {
        m_number = m_pages->next;
    }
    m_reportSlots.acquire();
    emit pageReady(report, m_number);
}

// On the scan thread, from the page loop: a sheet starts, then its bytes
// come; the page hears of it at most four times a second.
void ScanJob::OnProgress(qint64 bytes, qint64 total)
{
    m_bytes = bytes;
    m_total = total;
    if (bytes == 0) {
        ++m_sheet;
    } else if (m_sinceProgress.isValid() && m_sinceProgress.elapsed() < ProgressIntervalMs) {
        return;
    }
    m_sinceProgress.start();
    emit progressed(Reply::Progress(ProgressDocument(false, QString())));
}

QJsonObject ScanJob::ProgressDocument(bool done, const QString &path) const
{
    QJsonObject progress{{QStringLiteral("Sheet"), m_sheet},
                         {QStringLiteral("Bytes"), double(m_bytes)},
                         {QStringLiteral("Total"), double(m_total)},
                         {QStringLiteral("Done"), done}};
    if (done)
        progress.insert(QStringLiteral("Path"), path);
    return progress;
}

void ScanJob::Fail(int code)
{
    if (!m_failure)
        m_failure = code;
    m_loop.RequestStop();
}

bool ScanJob::IsFlatbed(SaneDevice &device, const OptionTable &options, bool alwaysFlatbed) const
{
    if (alwaysFlatbed)
        return true;
    // Read back after the page's choices were applied: the device's own
    // word, whatever the page asked for. A flatbed gives a page at every
    // start, so a job that took one for a feeder would never end.
    if (options.contains(QStringLiteral("source")))
        return device.CurrentValue(QStringLiteral("source")) == QLatin1String("Flatbed");
    const QString type = m_catalog.DeviceType(m_setup.device);
    return !type.contains(QLatin1String("sheetfed"), Qt::CaseInsensitive)
        && !type.contains(QLatin1String("feeder"), Qt::CaseInsensitive);
}

RetMsg ScanJob::EndProcessScan() const
{
    if (m_isMulPdf)
        return Reply::Document(QStringLiteral("pdf|") + m_documentPath);
    if (m_isMulTiff)
        return Reply::Document(QStringLiteral("tiff|") + m_documentPath);
    return Reply::AllScanned();
}

// The document's name: the running number, or the next one whose name is
// free; the number moves on past the document once it is made.
QString ScanJob::GetScanFile(const QString &suffix)
{
    PageNaming document{m_setup.files.imgPath, m_setup.files.prefix, m_setup.digits, m_number, suffix};
    if (!document.SkipTaken())
        return QString();
    m_documentNumber = document.next;
    return document.NextPath();
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

// Each page enters the document as soon as it is finished, on a thread of
// the job's own, so that reading the next sheet never waits for it and the
// document is all but made when the last sheet is in.
void ScanJob::AddToDocument(const QString &page)
{
    m_documentThread.start([this, page] {
        if (m_documentFailed)
            return;
        if (!m_document) {
            m_documentPath = GetScanFile(m_isMulPdf ? QStringLiteral("pdf") : QStringLiteral("tiff"));
            if (m_documentPath.isEmpty()) {
                m_documentFailed = true;
                m_loop.RequestStop();
                return;
            }
            const QString work = m_setup.workFolder + QLatin1Char('/') + timeStamp() + QStringLiteral(".tiff");
            m_document = std::make_unique<GrowingDocument>(
                m_isMulPdf ? GrowingDocument::Pdf : GrowingDocument::MultiTiff, m_documentPath, work);
        }
        if (m_document->addPage(page) != 0) {
            // No sheet more for a document that cannot be made.
            m_documentFailed = true;
            m_loop.RequestStop();
        }
    });
}

bool ScanJob::SaveMultiPagePdf()
{
    return FinishDocument("PDF");
}

bool ScanJob::SaveMultiPageTiff()
{
    return FinishDocument("TIFF");
}

// After the last page: the closing structures, and the document under its name.
bool ScanJob::FinishDocument(const char *kind)
{
    if (m_document && m_document->finish() == 0)
        return true;
    std::fprintf(stderr, "velloscan: the %s %s could not be made from %d pages\n", kind,
                 qUtf8Printable(m_documentPath), int(m_scannedFiles.size()));
    return false;
}

QString ScanJob::SaveSiglePagePdf(const QString &page)
{
    PageNaming pdf{m_setup.files.imgPath, m_setup.files.prefix, m_setup.digits, m_number, QStringLiteral("pdf")};
    if (!pdf.SkipTaken())
        return QString();
    const QString tiff = m_setup.workFolder + QLatin1Char('/') + timeStamp() + QStringLiteral(".tiff");
    const QString path = pdf.NextPath();
    if (combine2multiff({page}, tiff, QStringLiteral("lzw")) != 0 || convert2pdf(tiff, path) != 0) {
        std::fprintf(stderr, "velloscan: no PDF could be made of %s\n", qUtf8Printable(page));
        return QString();
    }
    m_number = pdf.next + 1;
    return path;
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
