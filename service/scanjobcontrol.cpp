// The service's side of a scan job: starting it, reporting its pages in
// order, its last message, and stopping it at the process's end.
#include "websocketoperation.h"

#include "devicecatalog.h"
#include "outputpolicy.h"
#include "scanjob.h"

#include <QThread>

#include <QWebSocket>

#include <cstdio>
#include <cstdlib>

namespace {

// SIGTERM ends the process within this time, whatever the backend does.
constexpr int StopBoundMs = 4000;

} // namespace

void WebSocketOperation::StartScanJob(const QStringList &args)
{
    if (!args.isEmpty())
        m_catalog->SetCurrentDevice(args[0]);
    // Settings of this "CSCAN" alone: never stored, never carried over.
    // Capitalised, so no backend option (all lower case) can be shadowed.
    bool progress = false;
    bool continueDocument = false;
    if (args.size() >= 2) {
        FileSettings::PageSettings settings = FileSettings::Read(args[1]);
        progress = settings.choices.take(QStringLiteral("Progress")) == QLatin1String("1");
        continueDocument = settings.choices.take(QStringLiteral("ContinueDocument")) == QLatin1String("1");
        SysConfig config = m_settings.Config();
        bool deleteFiles = m_deleteFilesBeforeScan;
        bool showBase64 = m_showBase64;
        ScanSettings::Apply(settings, m_tempImgDir, config, deleteFiles, showBase64);
        // Checked before anything is kept: a refused job changes nothing,
        // not even the settings a later "CSCAN" would start from.
        const QString refusal = OutputPolicy::Refusal(config, m_access.OutputFolders());
        if (!refusal.isEmpty() && !m_catalog->CurrentDevice().isEmpty()) {
            std::fprintf(stderr, "velloscan: not scanning to %s: %s\n", qUtf8Printable(config.imgPath),
                         qUtf8Printable(refusal));
            SendMsg(Reply::Error(FolderNotMade));
            return;
        }
        m_settings.Config() = config;
        m_deleteFilesBeforeScan = deleteFiles;
        m_showBase64 = showBase64;
        m_choices = settings.choices;
    }
    JobSetup setup;
    setup.device = m_catalog->CurrentDevice();
    setup.choices = m_choices;
    setup.files = m_settings.Config();
    setup.deleteFilesBeforeScan = m_deleteFilesBeforeScan;
    setup.workFolder = m_imgDir;
    setup.defaultFolder = m_tempImgDir;
    setup.firstNumber = m_settings.ScanCount();
    setup.digits = m_settings.MinCountSize();
    setup.progress = progress;
    const QString &type = setup.files.imageFormat;
    const bool documentJob = type == QLatin1String("mulpdf") || type == QLatin1String("multiff");
    if (continueDocument && documentJob && !m_kept.files.isEmpty() && m_kept.device == setup.device
        && m_kept.fileType == type) {
        setup.keptFiles = m_kept.files;
        setup.workNext = m_kept.workNext;
    } else {
        m_kept = KeptPages();
    }
    m_jobLog.Start(setup.device, type, m_clientOrigin);

    m_job = new ScanJob(setup, *m_catalog);
    m_jobOver = false;
    m_reportsPending = 0;
    connect(m_job, &ScanJob::started, this, [this] {
        m_scanning = true;
        m_settings.SaveSysConfig();
    });
    connect(m_job, &ScanJob::filesDeleted, this, [this] { m_deleteFilesBeforeScan = false; });
    connect(m_job, &ScanJob::pageReady, this, &WebSocketOperation::OnPageReady);
    connect(m_job, &ScanJob::pageFinished, this, [this] { m_jobLog.PageFinished(); });
    connect(m_job, &ScanJob::progressed, this, &WebSocketOperation::SendJobMsg);
    connect(m_job, &ScanJob::documentReady, this, [this](const QString &path) { m_servedFiles.AddFile(path); });
    connect(m_job, &ScanJob::finished, this, &WebSocketOperation::OnJobFinished);
    ScanJob *job = m_job;
    m_jobThread = QThread::create([job] { job->Run(); });
    m_jobThread->start();
}

void WebSocketOperation::OnPageReady(const QString &file, int nextNumber)
{
    StoreNumberSoon(nextNumber);
    m_servedFiles.AddFile(file);
    if (!m_showBase64) {
        SendJobMsg(Reply::PagePath(file));
        m_job->PageReported();
        return;
    }
    // A replay names the path: the service keeps no page contents.
    m_jobLog.Record(Protocol::Serialize(Reply::PagePath(file)));
    // Made beside the event loop, in page order, as "CBASE64" replies are;
    // the job's last message waits for them.
    ++m_reportsPending;
    ScanJob *job = m_job;
    m_base64.PageReport(m_servedFiles.Open(file), file, [this, job](const QString &message) {
        SendText(message);
        job->PageReported();
        --m_reportsPending;
        EndJobIfReported();
    });
}

// Page events come in bursts; the file is written once per burst.
void WebSocketOperation::StoreNumberSoon(int number)
{
    const bool queued = m_numberToStore >= 0;
    m_numberToStore = number;
    if (queued)
        return;
    QMetaObject::invokeMethod(this, [this] {
        if (m_numberToStore >= 0)
            m_settings.StoreScanCount(m_numberToStore);
        m_numberToStore = -1;
    }, Qt::QueuedConnection);
}

void WebSocketOperation::SendJobMsg(const RetMsg &msg)
{
    const QString text = Protocol::Serialize(msg);
    m_jobLog.Record(text);
    emit sendMessage(text);
}

void WebSocketOperation::OnJobFinished(const RetMsg &last, int nextNumber)
{
    m_jobThread->wait();
    m_catalog->Forget(m_job->Device());
    const QStringList kept = m_job->KeptPages();
    if (kept.isEmpty())
        m_kept = KeptPages();
    else
        m_kept = {m_job->Device(), m_job->FileType(), kept, m_job->WorkNext()};
    // Stored before the page hears of the end, which may start the next job.
    m_numberToStore = -1;
    m_settings.StoreScanCount(nextNumber);
    m_jobEnd = last;
    m_jobOver = true;
    EndJobIfReported();
}

void WebSocketOperation::EndJobIfReported()
{
    if (!m_jobOver || m_reportsPending > 0)
        return;
    m_jobOver = false;
    delete m_jobThread;
    m_jobThread = nullptr;
    delete m_job;
    m_job = nullptr;
    m_scanning = false;
    // The gate is open before the last message leaves, so a page that
    // answers it at once is served rather than told the service is busy.
    SendJobMsg(m_jobEnd);
    m_jobLog.End();
    // After the job's last message: a scanner plugged or pulled meanwhile
    // must still reach the page's device list.
    if (m_usbChangePending) {
        m_usbChangePending = false;
        StartUsbDetect();
    }
}

void WebSocketOperation::StopScanJob()
{
    if (!m_job)
        return;
    m_job->Stop();
    const bool ended = m_jobThread->wait(unsigned(StopBoundMs));
    // Page files already written keep their numbers.
    m_settings.StoreScanCount(m_job->NextNumber());
    if (!ended) {
        // A backend that never returns from a read would keep the process
        // for good; the page is told by its connection closing, and the
        // thread inside the backend is left behind.
        std::fprintf(stderr, "velloscan: the scanner %s did not stop within %d s; leaving it\n",
                     qUtf8Printable(m_job->Device()), StopBoundMs / 1000);
        for (QWebSocket *socket : qAsConst(m_clients)) {
            socket->close(QWebSocketProtocol::CloseCodeGoingAway);
            socket->flush();
        }
        std::fflush(nullptr);
        std::_Exit(1);
    }
    delete m_jobThread;
    m_jobThread = nullptr;
    delete m_job;
    m_job = nullptr;
}
