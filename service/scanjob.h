#ifndef VELLOSCAN_SCANJOB_H
#define VELLOSCAN_SCANJOB_H

#include "pageloop.h"
#include "replies.h"
#include "scansettings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QMetaType>
#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <atomic>
#include <memory>
#include <mutex>

class DeviceCatalog;
class GrowingDocument;
class EngineLoan;
class SaneDevice;

// What one "CSCAN" asks for, copied when the job is made.
struct JobSetup {
    QString device;
    QHash<QString, QString> choices; // the page's option choices
    SysConfig files;                 // output folder, prefix, job type
    bool deleteFilesBeforeScan = false;
    QString workFolder;              // where document jobs scan their pages
    QString defaultFolder;           // the output folder when the page names none
    int firstNumber = 1;             // the running number the job starts from
    int digits = 4;
    bool progress = false;           // tell the page how each sheet goes
    // A document job that continues one a jam or a cancel cut short: its
    // pages, and the number the next page in the work folder gets.
    QStringList keptFiles;
    int workNext = 0;
};

// One scan job, from the device to its last message. Made on the main
// thread, run on a thread of its own; it borrows the engine for its run and
// tells the main thread everything by signals, in the order things happen.
class ScanJob : public QObject
{
    Q_OBJECT
public:
    ScanJob(const JobSetup &setup, DeviceCatalog &catalog);
    ~ScanJob() override;

    // The whole job, on its own thread. Ends with finished().
    void Run();
    // Any thread, for the process's end: no further sheet, the page in
    // progress cancelled; the job ends as soon as the engine lets it.
    void Stop();
    // Main thread: one pageReady() has been reported to the page.
    void PageReported();
    // Any thread: the scanner is told to stop and the job ends as a
    // cancelled scan ends. False when the last sheet is in already: the job
    // then finishes as it would have.
    bool Cancel();
    // The next running number; final once the job's thread has ended.
    int NextNumber() const { return m_number; }
    // Once the job's thread has ended: the pages a document job left for
    // one that continues it, and the work folder's next page number.
    QStringList KeptPages() const { return m_keptPages; }
    int WorkNext() const { return m_workNext; }
    QString Device() const { return m_setup.device; }
    QString FileType() const { return m_setup.files.imageFormat; }

signals:
    // The job is under way: its settings are to be stored.
    void started();
    // "DeleteFilesBeforeScan" was carried out.
    void filesDeleted();
    // A file to report: a page, or its PDF in a "pdf" job. `nextNumber`
    // is the running number after it.
    void pageReady(const QString &file, int nextNumber);
    // A page is finished, reported or not (document jobs report none).
    void pageFinished();
    void progressed(const RetMsg &message);
    void documentReady(const QString &path);
    void finished(const RetMsg &last, int nextNumber);

private:
    int ScanImage(const EngineLoan &loan);
    void OnScanOneImageDone(const QString &imgPath);
    RetMsg EndProcessScan() const;
    QString GetScanFile(const QString &suffix);
    void Fail(int code);
    void OnProgress(qint64 bytes, qint64 total);
    QJsonObject ProgressDocument(bool done, const QString &path) const;
    bool IsFlatbed(SaneDevice &device, const OptionTable &options, bool alwaysFlatbed) const;
    bool CheckScratchFolders() const;
    static bool CreateMultiDir(const QString &path);
    void AddToDocument(const QString &page);
    bool SaveMultiPagePdf();
    bool SaveMultiPageTiff();
    bool FinishDocument(const char *kind);
    QString SaveSiglePagePdf(const QString &page);
    void DeleteImageFilesBeforeScan();

    const JobSetup m_setup;
    DeviceCatalog &m_catalog;
    PageLoop m_loop;
    PageNaming *m_pages = nullptr; // while the loop runs, on the job's thread

    bool m_isMulPdf = false;
    bool m_isPdf = false;
    bool m_isMulTiff = false;
    // The multi-page document, grown page by page on its own thread.
    std::unique_ptr<GrowingDocument> m_document;
    QThreadPool m_documentThread;
    std::atomic<bool> m_documentFailed{false};
    QString m_documentPath;
    int m_documentNumber = 0;
    int m_failure = 0; // what ends the job whatever the engine says
    QStringList m_keptPages;
    int m_workNext = 0;
    // Where the sheet being read stands, on the job's thread.
    int m_sheet = 0;
    qint64 m_bytes = 0;
    qint64 m_total = -1;
    QElapsedTimer m_sinceProgress;
    std::mutex m_phaseLock;
    bool m_pastTheScanner = false;
    std::atomic<bool> m_cancelled{false};
    QStringList m_scannedFiles;
    std::atomic<int> m_number;
    std::atomic<bool> m_stopping{false};
    // Reports the main thread has not made yet. The job waits while there
    // are this many, so a scanner that never stops giving pages cannot bury
    // the main thread under page events.
    QSemaphore m_reportSlots;
};

Q_DECLARE_METATYPE(RetMsg)

#endif
