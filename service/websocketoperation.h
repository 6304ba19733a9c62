#ifndef VELLOSCAN_WEBSOCKETOPERATION_H
#define VELLOSCAN_WEBSOCKETOPERATION_H

#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

#include "accesscontrol.h"
#include "base64replies.h"
#include "filereads.h"
#include "joblog.h"
#include "protocol.h"
#include "servedfiles.h"
#include "settingsstore.h"

class QThread;
class QWebSocket;
class QWebSocketServer;
class DeviceCatalog;
class InstanceLock;
class ScanJob;
class USBHotplugThread;

// The service as the page meets it: the server, the one-page rule, the
// dispatch of the page's commands and the order of the replies. It owns
// the device catalogue, the settings, the USB listener and, while one
// runs, the scan job; ARCHITECTURE.md draws the whole house.
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

signals:
    void sendMessage(const QString &text);

private slots:
    void OnNewConnection();

private:
    void SendMsg(const RetMsg &msg);
    void SendText(const QString &text);
    void ReturnFreeMemory();
    void Refuse(QWebSocket *socket, ReplyCode code);
    void ClearClient();
    void OnPageMessage(const QString &message);
    void Dispatch(const QString &message);
    void ReplyBase64(const QString &path);
    void OnBase64Reply(const QString &message, quint64 client);
    void DispatchWaiting();
    // "CREAD" (filereads.cpp).
    void ReadChunk(const QStringList &args);
    void WaitToRead(QWebSocket *socket, const QStringList &args);

    void GetDeviceList();
    void GetScanOptions(const QString &device);

    // Commands a page may send at any time (anytimecommands.cpp).
    void ReplyVersion();
    void ReplyStatus();
    void CancelJob();
    void ReplayJob();

    // The scan job (scanjobcontrol.cpp).
    void StartScanJob(const QStringList &args);
    // A message of the job: recorded for "CREPLAY", then sent.
    void SendJobMsg(const RetMsg &msg);
    void OnPageReady(const QString &file, int nextNumber);
    void OnJobFinished(const RetMsg &last, int nextNumber);
    void EndJobIfReported();
    void StopScanJob();
    void StoreNumberSoon(int number);

    // USB plug and unplug (usbwatch.cpp).
    void StartUsbWatch();
    void StopUsbWatch();
    void StartUsbDetect();

    QWebSocketServer *m_server = nullptr;
    QList<QWebSocket *> m_clients;
    std::unique_ptr<DeviceCatalog> m_catalog;
    SettingsStore m_settings;
    QString m_imgDir;     // the work folder of document jobs
    QString m_tempImgDir; // the output folder when the page names none
    bool m_deleteFilesBeforeScan = false;
    bool m_showBase64 = false;
    // The option choices of the last "CSCAN" that carried settings: one
    // without keeps them, as it keeps the file settings.
    QHash<QString, QString> m_choices;
    QString m_clientOrigin;
    JobLog m_jobLog;
    // The pages a document job left when a jam or a cancel cut it short,
    // for a job of the same kind on the same device that continues it.
    struct KeptPages {
        QString device;
        QString fileType;
        QStringList files;
        int workNext = 0;
    } m_kept;

    // One job at a time. Set by the dispatcher before the job's thread
    // starts and cleared once its last message is out, so a second "CSCAN"
    // cannot slip in while the first waits for the preload.
    ScanJob *m_job = nullptr;
    QThread *m_jobThread = nullptr;
    // The job reached its scanner and its page is connected: a newcomer is
    // refused even while no page is connected. A page that reloads clears it.
    bool m_scanning = false;
    int m_reportsPending = 0;   // page reports being made beside the event loop
    bool m_jobOver = false;     // the job's last message waits for them
    RetMsg m_jobEnd;
    int m_numberToStore = -1;   // a store is queued for this number
    // A USB change that arrived during a job: refreshed once the job ended.
    bool m_usbChangePending = false;
    bool m_usbDetecting = false;
    USBHotplugThread *m_usbHotplugThread = nullptr;

    ServedFiles m_servedFiles;
    Base64Replies m_base64;
    FileReads m_fileReads;
    // A "CBASE64" reply is being made, or the socket holds too much of
    // earlier reads: what the page sends meanwhile waits in
    // m_waitingMessages, so that replies keep the order of the commands.
    bool m_base64Pending = false;
    bool m_trimArmed = false;
    QTimer m_trimTimer;
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
