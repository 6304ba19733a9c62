#ifndef VELLOSCAN_WEBSOCKETOPERATION_H
#define VELLOSCAN_WEBSOCKETOPERATION_H

#include <QFuture>
#include <QHash>
#include <QMaskGenerator>
#include <QQueue>
#include <QSemaphore>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <memory>

#include "accesscontrol.h"
#include "base64replies.h"
#include "protocol.h"
#include "sanescan.h"
#include "scanneroption.h"
#include "scansettings.h"
#include "servedfiles.h"

class QThread;
class QWebSocket;
class QWebSocketServer;
class ConfigSetting;
class InstanceLock;
class USBHotplugThread;

class CMaskGenerator : public QMaskGenerator
{
    Q_OBJECT
public:
    using QMaskGenerator::QMaskGenerator;
    bool seed() noexcept override;
    quint32 nextMask() noexcept override;
};

class Worker : public QObject
{
    Q_OBJECT
public:
    explicit Worker(QObject *parent = nullptr) : QObject(parent) {}
signals:
    void sglWorkerProgress();
    void sglWorkerFinished();
public slots:
    void sltWorkerStart();
};

// The spine of the service: owns the WebSocket server, the SANE engine, the
// option model, the settings and the USB listener, and serves one page.
//
// Who may use SANE when. The engine (m_sane) and the option tables
// (m_allScannerOptions, m_scannerOption's tables) belong to one thread at a
// time. The options preload runs them on a pool thread after every
// enumeration; everybody else who needs them first joins that preload with
// WaitForPreload(). Because only the main thread ever starts a preload, and it
// joins the previous one before it enumerates again, two preloads never
// overlap, and a main-thread command never runs beside one. The join is the
// only synchronisation: there are no locks.
class WebSocketOperation : public QObject
{
    Q_OBJECT
public:
    WebSocketOperation();
    ~WebSocketOperation() override;

    // False when this copy must not run: another copy holds the data
    // directory, the access settings cannot be kept, or the port cannot be
    // listened on. The caller exits.
    bool Load();
    // Where the machine's access settings are read from; the end-to-end
    // tests' build reads them beside itself.
    void SetMachineSettings(const QString &path) { m_machineSettings = path; }

    static QString GetCustomMsg(int code) { return Protocol::GetCustomMsg(code); }
    static QString GetScanStatusMsg(int status) { return Protocol::GetScanStatusMsg(status); }

signals:
    void sendMessage(const QString &text);

public slots:
    void OnScanOneImageDone(QString imgPath);
    void OnScanAllImageDone();

private slots:
    void OnNewConnection();

private:
    void SendMsg(const RetMsg &msg);
    static RetMsg CodeMsg(int code, const QString &cmd = QString());
    static RetMsg SaneStatusMsg(int status);
    void SendCode(int code, const QString &cmd = QString());
    void SendSaneStatus(int status);
    void SendMessageOnFirstConnection();
    RetMsg DevicesMsg(const QString &cmd) const;
    void ClearClient();
    void Refuse(QWebSocket *socket, int code);
    void OnPageMessage(const QString &message);
    void Dispatch(const QString &message);
    void ReplyBase64(const QString &path);
    void OnBase64Reply(const QString &message, quint64 client);

    void GetDeviceList();
    void GetDeviceListOnLoad();
    // Enumerates and keeps the maker's devices; starts the preload when SANE
    // listed anything.
    void EnumerateDevices();
    void GetScanOptions(const QString &device);
    void FutureLoadAllScannersOptions();
    void LoadAllScannersOptionsForFuture();
    void GetAllScannerWithOptions();
    void WaitForPreload();

    // Settings from the file and from the page. The settings file is the main
    // thread's alone; the scan thread hands its writes over.
    void ReadSysConfig();
    void SaveSysConfig();
    void ParseCustomScanJsonOptions(const QString &json);
    void SetScanOptionsFromClient(const QVector<QPair<QString, QString>> &options);
    // The running file number, synced to the file at once: a restart after
    // any end of a job must not number files over ones already made.
    void StoreScanCount(int number);

    // The scan job.
    template <typename Work, typename Done> void ExecLambda(Work work, Done done);
    void StartScanJob(const QStringList &args);
    void ScanImage(const QString &device);
    void FinishScanJob(int status);
    void JobEnded();
    void StopScanJob();
    void EndProcessScan();
    QString GetScanFile(const QString &suffix) const;
    static bool CreateMultiDir(const QString &path);
    bool SaveMultiPagePdf();
    bool SaveMultiPageTiff();
    QString SaveSiglePagePdf(const QString &page);
    void DeleteImageFilesBeforeScan();
    void SendPageReport(const QString &file);

    void EnableUsbDetect();
    bool DisableUsbDetect();
    void StartUsbDetect(int type);

    static void ClearDirectory(const QString &path);
    static void RemoveFiles(const QString &dir);

    QWebSocketServer *m_server = nullptr;
    QList<QWebSocket *> m_clients;
    CMaskGenerator *m_maskGenerator = nullptr;
    SaneScan *m_sane = nullptr;
    std::atomic<bool> m_isScanning{false};
    QHash<QString, OptionTable> m_allScannerOptions;
    OptionTable m_currentOptions;
    QVector<QString> m_deviceList;
    QStringList m_scannedFiles;
    std::atomic<int> m_saneStatus{0};
    bool m_isFlatbed = false;
    QString m_dataDir;
    SysConfig *m_sysConfig = nullptr;
    ConfigSetting *m_configSetting = nullptr;
    QString m_currentDevice;
    QString m_scanFormat = QStringLiteral("tiff");
    QString m_imgDir;
    QString m_tempImgDir;
    int m_scanCount = 1;
    int m_scanMinCountSize = 4;
    bool m_isMulPdf = false;
    bool m_isPdf = false;
    QString m_mulPdfPath;
    bool m_isMulTiff = false;
    QString m_mulTiffPath;
    bool m_deleteFilesBeforeScan = false;
    ScannerOption m_scannerOption;
    QString m_customScanJson;
    bool m_showBase64 = false;
    QThread *m_scanThread = nullptr;
    Worker *m_worker = nullptr;
    USBHotplugThread *m_usbHotplugThread = nullptr;
    bool m_usbDetecting = false;
    QFuture<void> m_loadOptionsFuture;

    // One job at a time. Set by the dispatcher before the scan thread starts
    // and cleared once the job has ended, so a second "CSCAN" cannot slip in
    // while the first waits for the preload; main thread only.
    bool m_jobRunning = false;
    // A USB change that arrived during a job: refreshed once the job ended.
    bool m_usbChangePending = false;
    // The process is ending: the job starts no further sheet and stops
    // waiting for page reports, as the event loop that makes them is gone.
    std::atomic<bool> m_stopping{false};
    // Pages announced by the engine, counted in the scan thread, against
    // pages the main thread has handled; the end steps wait for both to meet.
    int m_pagesAnnounced = 0;
    QSemaphore m_pagesHandled;
    int m_jobFirstNumber = 1;
    // The job's last message, made by the scan thread and sent by the main
    // thread once the job is over, so that a page answering it at once is
    // served rather than told the service is still busy.
    RetMsg m_jobEnd;
    ServedFiles m_servedFiles;
    Base64Replies m_base64;
    // A "CBASE64" reply is being made: what the page sends meanwhile waits
    // in m_waitingMessages, so that replies keep the order of the commands.
    bool m_base64Pending = false;
    QQueue<QString> m_waitingMessages;
    qint64 m_waitingText = 0; // characters in m_waitingMessages
    // Counts accepted pages, so that a reply made for a page that has left
    // does not reach the next one.
    quint64 m_clientSerial = 0;
    QString m_machineSettings = QString::fromLatin1(AccessControl::MachineSettings);
    AccessControl m_access;
    // Held until the teardown in the destructor has run.
    std::unique_ptr<InstanceLock> m_instanceLock;
};

#endif
