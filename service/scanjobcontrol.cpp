// The service's side of a scan job: starting it, reporting its pages in
// order, its last message, and stopping it at the process's end.
#include "websocketoperation.h"

#include "devicecatalog.h"
#include "outputpolicy.h"
#include "scanjob.h"

#include <QThread>

#include <cstdio>

void WebSocketOperation::StartScanJob(const QStringList &args)
{
    if (!args.isEmpty())
        m_catalog->SetCurrentDevice(args[0]);
    if (args.size() >= 2) {
        const FileSettings::PageSettings settings = FileSettings::Read(args[1]);
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

    m_job = new ScanJob(setup, *m_catalog);
    m_jobOver = false;
    m_reportsPending = 0;
    connect(m_job, &ScanJob::started, this, [this] {
        m_scanning = true;
        m_settings.SaveSysConfig();
    });
    connect(m_job, &ScanJob::filesDeleted, this, [this] { m_deleteFilesBeforeScan = false; });
    connect(m_job, &ScanJob::pageReady, this, &WebSocketOperation::OnPageReady);
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
        SendMsg(Reply::PagePath(file));
        m_job->PageReported();
        return;
    }
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

void WebSocketOperation::OnJobFinished(const RetMsg &last, int nextNumber)
{
    m_jobThread->wait();
    m_catalog->Forget(m_catalog->CurrentDevice());
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
    SendMsg(m_jobEnd);
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
    m_jobThread->wait();
    // Page files already written keep their numbers.
    m_settings.StoreScanCount(m_job->NextNumber());
    delete m_jobThread;
    m_jobThread = nullptr;
    delete m_job;
    m_job = nullptr;
}
