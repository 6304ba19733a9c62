// The scan job: from "CSCAN" to its last message. The job runs in a thread
// of its own; page reports (and the one-page PDFs of "pdf" jobs) are made in
// the main thread as each page is announced.
#include "websocketoperation.h"

#include "configsetting.h"
#include "multitiff.h"
#include "scratchfolder.h"
#include "tiff2pdf.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cstdio>

namespace {

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

// Runs `work` in a fresh thread, then `done` in the main thread, which joins
// and discards that thread.
template <typename Work, typename Done>
void WebSocketOperation::ExecLambda(Work work, Done done)
{
    m_scanThread = new QThread;
    m_worker = new Worker;
    m_worker->moveToThread(m_scanThread);
    connect(m_scanThread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_scanThread, &QThread::finished, m_scanThread, &QObject::deleteLater);
    QThread *thread = m_scanThread;
    connect(m_scanThread, &QObject::destroyed, this, [this, thread] {
        if (m_scanThread == thread)
            m_scanThread = nullptr;
    });
    Worker *worker = m_worker;
    connect(m_worker, &QObject::destroyed, this, [this, worker] {
        if (m_worker == worker)
            m_worker = nullptr;
    });
    connect(m_scanThread, &QThread::started, m_worker, &Worker::sltWorkerStart);
    connect(m_worker, &Worker::sglWorkerProgress, m_worker, work, Qt::DirectConnection);
    connect(m_worker, &Worker::sglWorkerFinished, this, [this, done] {
        if (m_scanThread) {
            m_scanThread->requestInterruption();
            m_scanThread->quit();
            m_scanThread->wait();
            m_scanThread = nullptr;
        }
        done();
    });
    m_scanThread->start(QThread::InheritPriority);
}

void WebSocketOperation::StartScanJob(const QStringList &args)
{
    m_jobRunning = true;
    if (!args.isEmpty())
        m_currentDevice = args[0];
    if (args.size() >= 2) {
        m_customScanJson = args[1];
        ParseCustomScanJsonOptions(m_customScanJson);
    }
    const QString device = m_currentDevice;
    ExecLambda([this, device] { ScanImage(device); }, [this] { JobEnded(); });
}

void WebSocketOperation::ScanImage(const QString &device)
{
    // The engine and the option tables are ours only once the preload is over.
    WaitForPreload();
    if (device.isEmpty()) {
        m_jobEnd = CodeMsg(1004);
        return;
    }
    // The scratch folders were ours at start, but a cleaner of the temporary
    // folder may have removed them since, and someone else made them anew.
    QStringList scratch{m_imgDir};
    if (m_sysConfig->imgPath == m_tempImgDir)
        scratch << m_tempImgDir;
    for (const QString &folder : scratch) {
        QString why;
        if (!ScratchFolder::Ensure(folder, &why)) {
            std::fprintf(stderr, "velloscan: %s is no longer a private folder of this user (%s); not scanning\n",
                         qUtf8Printable(folder), qUtf8Printable(why));
            m_jobEnd = CodeMsg(1007);
            return;
        }
    }
    if (!CreateMultiDir(m_sysConfig->imgPath)) {
        m_jobEnd = CodeMsg(1007);
        return;
    }

    m_isScanning = true;
    m_scannedFiles.clear();
    m_isFlatbed = m_isMulTiff = m_isMulPdf = m_isPdf = false;
    m_saneStatus = 0;
    m_pagesAnnounced = 0;
    m_pagesHandled.acquire(m_pagesHandled.available());
    m_jobFirstNumber = m_scanCount;
    int status = SANE_STATUS_GOOD;
    try {
        // Queued to the main thread, which owns the settings file; it runs
        // there before any page of this job is handled.
        QMetaObject::invokeMethod(this, [this] { SaveSysConfig(); });
        ClearDirectory(m_imgDir);

        m_mulPdfPath.clear();
        m_mulTiffPath.clear();
        const QString format = m_sysConfig->imageFormat;
        m_isMulPdf = format == QLatin1String("mulpdf");
        m_isPdf = format == QLatin1String("pdf");
        m_isMulTiff = format == QLatin1String("multiff");
        QString prefix;
        if (isDocumentFormat(format)) {
            prefix = m_imgDir + QLatin1Char('/') + m_sysConfig->prefix;
            m_scanFormat = QStringLiteral("tiff");
        } else {
            prefix = m_sysConfig->imgPath + QLatin1Char('/') + m_sysConfig->prefix;
            m_scanFormat = format;
        }

        // Only the maker's devices are offered, and only those may be opened:
        // a page must not read or scan from a camera that happens to be attached.
        status = Protocol::IsOffered(device) ? m_sane->OpenDevice(device) : SaneStatusNoDevice;
        m_saneStatus = status;
        if (status != SANE_STATUS_GOOD) {
            FinishScanJob(status);
            return;
        }
        // Only now: a wrong or absent device must not cost the user files.
        DeleteImageFilesBeforeScan();

        // A device the preload did not reach still gets the page's options,
        // by the names it reports now that it is open.
        const OptionTable deviceOptions = m_sane->GetAllOptions();
        m_scannerOption.SetCurrentOptionNames(device);
        if (!m_scannerOption.HasCurrentOptionNames())
            m_scannerOption.SetCurrentOptionNames(QStringList(deviceOptions.keys()));
        const QHash<QString, QString> choices = m_scannerOption.GetOptionFromJson(m_customScanJson);
        SetScanOptionsFromClient(m_scannerOption.OrganizeOptions(device, choices));
        m_isFlatbed = m_scannerOption.IsFlatbed();
        // Without a source from the page the device's own decides: a flatbed
        // gives a page at every start, so a job taken for a feeder never ends.
        if (choices.value(QStringLiteral("source")).isEmpty()
            && !device.startsWith(QLatin1String("cvnfc:RX300")))
            m_isFlatbed = deviceOptions.value(QStringLiteral("source")).current == QLatin1String("Flatbed");

        status = m_sane->Scan(prefix, m_scanFormat, m_scanCount, m_scanMinCountSize, m_isFlatbed);
        m_saneStatus = status;
        m_sane->CloseDevice();
    } catch (...) {
        m_sane->CloseDevice();
        status = -1;
    }
    FinishScanJob(status);
}

// Every way out of a job after it started: wait for the page reports, build
// the document, store the running number, make the last message.
void WebSocketOperation::FinishScanJob(int status)
{
    // The documents must hold every page and the client must have every page
    // report before the end message, so the announced pages are all handled
    // first. A stop releases this wait: the main loop that handles them is gone.
    m_pagesHandled.acquire(m_pagesAnnounced);
    int failure = 0; // the code of an error reply; 0: the end message
    try {
        if (m_stopping) {
            // Page files already written keep their numbers.
            if (!isDocumentFormat(m_sysConfig->imageFormat))
                m_scanCount = qMax(m_scanCount, m_jobFirstNumber + m_pagesAnnounced);
        } else if (status != SANE_STATUS_GOOD) {
            failure = status == -1 ? 1008 : status;
        } else if (m_scannedFiles.isEmpty()) {
            m_isMulPdf = m_isMulTiff = m_isPdf = false;
        } else if ((m_isMulPdf && !SaveMultiPagePdf()) || (m_isMulTiff && !SaveMultiPageTiff())) {
            // Never name a document that was not made; the pages stay where
            // they were scanned.
            failure = 1008;
        } else if (m_isMulPdf || m_isMulTiff) {
            ++m_scanCount;
        }
    } catch (...) {
        failure = 1008;
    }
    m_isScanning = false;
    // A stop leaves the store to the teardown, as the main loop has ended.
    if (m_stopping)
        return;
    // Stored before the page hears of the end, which may start the next job.
    const int number = m_scanCount;
    QMetaObject::invokeMethod(this, [this, number] { StoreScanCount(number); });
    if (failure == 1008)
        m_jobEnd = CodeMsg(1008);
    else if (failure)
        m_jobEnd = SaneStatusMsg(failure);
    else
        EndProcessScan();
}

void WebSocketOperation::JobEnded()
{
    m_jobRunning = false;
    SendMsg(m_jobEnd);
    m_jobEnd = RetMsg();
    // After the job's last message: a scanner plugged or pulled meanwhile
    // must still reach the page's device list.
    if (m_usbChangePending) {
        m_usbChangePending = false;
        StartUsbDetect(0);
    }
}

void WebSocketOperation::StopScanJob()
{
    if (!m_scanThread)
        return;
    m_stopping = true;
    m_sane->RequestStop();
    m_pagesHandled.release(ReleaseAll);
    m_scanThread->quit();
    m_scanThread->wait();
    StoreScanCount(m_scanCount);
    // The worker went with its thread's end; the thread object waits for an
    // event loop that will not run again.
    m_worker = nullptr;
    delete m_scanThread;
}

void WebSocketOperation::OnScanOneImageDone(QString imgPath)
{
    m_scannedFiles.append(imgPath);
    if (m_isMulPdf || m_isMulTiff) {
        m_pagesHandled.release();
        return;
    }
    QString report = imgPath;
    if (m_isPdf)
        report = SaveSiglePagePdf(imgPath);
    ++m_scanCount;
    StoreScanCount(m_scanCount);
    SendPageReport(report);
}

void WebSocketOperation::OnScanAllImageDone()
{
}

// The page counts as handled once its report has left, so that the job's
// end message follows every report.
void WebSocketOperation::SendPageReport(const QString &file)
{
    m_servedFiles.AddFile(file);
    if (m_showBase64) {
        // Made beside the event loop, in page order, as "CBASE64" replies are.
        m_base64.PageReport(m_servedFiles.Open(file), file, [this](const QString &message) {
            emit sendMessage(message);
            m_pagesHandled.release();
        });
        return;
    }
    RetMsg msg;
    msg.cmd = QStringLiteral("SSCANONE");
    msg.code = 2002;
    msg.msg = GetCustomMsg(2002);
    msg.data = QFileInfo(file).suffix().toLower() + QLatin1Char('|') + file;
    msg.dataType = RetMsgSTRDATA;
    SendMsg(msg);
    m_pagesHandled.release();
}

void WebSocketOperation::EndProcessScan()
{
    RetMsg msg;
    if (m_isMulPdf || m_isMulTiff) {
        msg.cmd = QStringLiteral("SSCANMUL");
        msg.code = 2003;
        msg.data = m_isMulPdf ? QStringLiteral("pdf|") + m_mulPdfPath : QStringLiteral("tiff|") + m_mulTiffPath;
        msg.dataType = RetMsgSTRDATA;
        // Recorded by the main thread, which owns the record, before it sends
        // the message: the page may read the document back at once.
        const QString document = m_isMulPdf ? m_mulPdfPath : m_mulTiffPath;
        QMetaObject::invokeMethod(this, [this, document] { m_servedFiles.AddFile(document); });
    } else {
        msg.cmd = QStringLiteral("SSCANALL");
        msg.code = 2004;
    }
    msg.msg = GetCustomMsg(msg.code);
    m_jobEnd = msg;
}

QString WebSocketOperation::GetScanFile(const QString &suffix) const
{
    const QString number =
        QStringLiteral("%1").arg(m_scanCount, qMax(0, m_scanMinCountSize), 10, QLatin1Char('0'));
    return m_sysConfig->imgPath + QLatin1Char('/') + m_sysConfig->prefix + number + QLatin1Char('.') + suffix;
}

bool WebSocketOperation::CreateMultiDir(const QString &path)
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

bool WebSocketOperation::SaveMultiPagePdf()
{
    m_mulPdfPath = GetScanFile(QStringLiteral("pdf"));
    const QString tiff = m_imgDir + QLatin1Char('/') + timeStamp() + QStringLiteral(".tiff");
    if (combine2multiff(m_scannedFiles, tiff, QStringLiteral("lzw")) != 0
        || convert2pdf(tiff, m_mulPdfPath) != 0) {
        std::fprintf(stderr, "velloscan: the PDF %s could not be made from %d pages\n",
                     qUtf8Printable(m_mulPdfPath), int(m_scannedFiles.size()));
        return false;
    }
    return true;
}

bool WebSocketOperation::SaveMultiPageTiff()
{
    m_mulTiffPath = GetScanFile(QStringLiteral("tiff"));
    if (combine2multiff(m_scannedFiles, m_mulTiffPath, QStringLiteral("lzw")) != 0) {
        std::fprintf(stderr, "velloscan: the TIFF %s could not be made from %d pages\n",
                     qUtf8Printable(m_mulTiffPath), int(m_scannedFiles.size()));
        return false;
    }
    return true;
}

QString WebSocketOperation::SaveSiglePagePdf(const QString &page)
{
    const QString pdf = GetScanFile(QStringLiteral("pdf"));
    const QString tiff = m_imgDir + QLatin1Char('/') + timeStamp() + QStringLiteral(".tiff");
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

void WebSocketOperation::DeleteImageFilesBeforeScan()
{
    if (!m_deleteFilesBeforeScan)
        return;
    const QFileInfoList files = QDir(m_sysConfig->imgPath).entryInfoList(QDir::Files, QDir::Unsorted);
    for (const QFileInfo &file : files) {
        const QString suffix = file.suffix().toLower();
        if (suffix == QLatin1String("jpg") || suffix == QLatin1String("png") || suffix == QLatin1String("pnm")
            || suffix == QLatin1String("tiff") || suffix == QLatin1String("pdf"))
            QFile::remove(file.filePath());
    }
    m_deleteFilesBeforeScan = false;
}
