#include "websocketoperation.h"

#include "configsetting.h"
#include "instancelock.h"
#include "scratchfolder.h"
#include "usbhotplugthread.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <QWebSocketServer>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>
#include <cstdlib>

namespace {

// Pages send short commands; anything near this size is a mistake or an attack.
constexpr quint64 MaxIncomingMessage = 1024 * 1024;
// Characters a page may send while a Base64 reply is made. A page waits for
// each reply; one that keeps sending meanwhile is not a page.
constexpr qint64 MaxWaitingText = 16 * MaxIncomingMessage;
constexpr int ChildTimeoutMs = 30000;

} // namespace

// ---------------------------------------------------------------------------
// Small helpers of the service

bool CMaskGenerator::seed() noexcept
{
    std::srand(unsigned(QDateTime::currentSecsSinceEpoch()));
    return true;
}

quint32 CMaskGenerator::nextMask() noexcept
{
    quint32 mask = 0;
    while ((mask = quint32(std::rand() / 2147483647.0 * 4294967295.0)) == 0)
        seed();
    return mask;
}

void Worker::sltWorkerStart()
{
    emit sglWorkerProgress();
    emit sglWorkerFinished();
}

// ---------------------------------------------------------------------------
// Start-up and teardown

WebSocketOperation::WebSocketOperation() = default;

WebSocketOperation::~WebSocketOperation()
{
    // A Base64 text being made is abandoned: the page is about to be closed.
    m_base64.Stop();
    // A running job: it starts no further sheet, the page in progress is
    // cancelled, and the pages already written stay on disk.
    StopScanJob();
    if (m_usbHotplugThread) {
        DisableUsbDetect();
        m_usbHotplugThread->Stop();
        m_usbHotplugThread->requestInterruption();
        m_usbHotplugThread->quit();
        m_usbHotplugThread->wait();
        delete m_usbHotplugThread;
        m_usbHotplugThread = nullptr;
    }
    if (m_sane) {
        // sane_exit under a running preload would pull the backends from
        // under its feet. The job, stopped above, closed its device itself.
        WaitForPreload();
        m_sane->Exit();
        delete m_sane;
        m_sane = nullptr;
    }
    delete m_maskGenerator;
    m_maskGenerator = nullptr;
    if (m_server) {
        ClearClient();
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    delete m_sysConfig;
    m_sysConfig = nullptr;
    delete m_configSetting;
    m_configSetting = nullptr;
}

bool WebSocketOperation::Load()
{
    m_sane = new SaneScan;

    QString dataDir = QDir::homePath() + QStringLiteral("/.velloscan");
    {
        QProcess lsb;
        lsb.start(QStringLiteral("lsb_release"), {QStringLiteral("-i")}, QIODevice::ReadWrite);
        lsb.waitForFinished(ChildTimeoutMs);
        QString distributor = QString::fromLocal8Bit(lsb.readAllStandardOutput());
        distributor.remove(QStringLiteral("Distributor ID:\t"));
        distributor.remove(QLatin1Char('\n'));
        if (distributor == QLatin1String("Uos"))
            dataDir = QDir::homePath() + QStringLiteral("/.config/com.corvane.velloscan");
    }
    if (!QDir(dataDir).exists())
        QDir().mkdir(dataDir);
    m_dataDir = dataDir;
    m_instanceLock = std::make_unique<InstanceLock>(m_dataDir);
    if (!m_instanceLock->TryLock())
        return false;

    m_imgDir = ScratchFolder::Prepare(QDir::tempPath() + QStringLiteral("/velloscanimg"));
    ClearDirectory(m_imgDir);
    m_tempImgDir = ScratchFolder::Prepare(QDir::tempPath() + QStringLiteral("/tempvelloscanimg"));
    ClearDirectory(m_tempImgDir);
    m_servedFiles.AddRoot(m_imgDir);
    m_servedFiles.AddRoot(m_tempImgDir);

    m_scanCount = 1;
    m_scanMinCountSize = 4;
    m_scannedFiles.clear();

    m_sysConfig = new SysConfig;
    const QString iniPath = m_dataDir + QStringLiteral("/SysConfig.ini");
    if (!QFile::exists(iniPath)) {
        QFile ini(iniPath);
        ini.open(QIODevice::ReadWrite);
    }
    m_configSetting = new ConfigSetting(iniPath);
    if (!m_access.Read(iniPath, m_machineSettings))
        return false;

    m_isScanning = false;
    m_isMulTiff = m_isMulPdf = m_isPdf = false;
    m_deleteFilesBeforeScan = false;
    m_scanFormat = QStringLiteral("tiff");
    m_saneStatus = 0;

    ReadSysConfig();
    m_sane->Init();

    quint16 port = Protocol::DefaultPort;
    {
        QFile portFile(QCoreApplication::applicationDirPath() + QStringLiteral("/port.txt"));
        if (portFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
            bool ok = false;
            port = Protocol::ParsePort(portFile.readAll(), &ok);
            if (!ok)
                std::fprintf(stderr, "velloscan: port.txt holds no port number; using %u\n", port);
        }
    }

    m_usbHotplugThread = new USBHotplugThread(nullptr);
    m_usbDetecting = false;
    if (m_usbHotplugThread->IsListening()) {
        EnableUsbDetect();
        m_usbHotplugThread->ClearBuffer();
        m_usbHotplugThread->start(QThread::InheritPriority);
    } else {
        std::fprintf(stderr, "velloscan: no USB event socket; scanners plugged in later are not reported\n");
    }

    GetDeviceListOnLoad();

    m_maskGenerator = new CMaskGenerator;

    m_server = new QWebSocketServer(QStringLiteral("VelloScanServer"), QWebSocketServer::NonSecureMode, this);
    m_server->setMaxPendingConnections(1);
    // Running deaf, or wider than we were told, would look like success to
    // whoever started us.
    if (!m_server->listen(m_access.ListenAddress(), port)) {
        const QString at = m_access.Narrowed() ? QStringLiteral(" of ") + m_access.ListenAddress().toString() : QString();
        std::fprintf(stderr, "velloscan: cannot listen on port %u%s: %s\n", port, qUtf8Printable(at),
                     qUtf8Printable(m_server->errorString()));
        return false;
    }
    // Direct: the authenticator lives only while the signal is emitted, and a
    // refusal made here is answered within the handshake.
    connect(m_server, &QWebSocketServer::originAuthenticationRequired, this,
            [this](QWebSocketCorsAuthenticator *request) {
                if (m_access.Allows(request->origin()))
                    return;
                request->setAllowed(false);
                std::fprintf(stderr, "velloscan: refused a page from %s: not one of the AllowedOrigins\n",
                             qUtf8Printable(request->origin()));
            }, Qt::DirectConnection);

    connect(m_server, &QWebSocketServer::newConnection, this, &WebSocketOperation::OnNewConnection);
    connect(m_sane, &SaneScan::sglScanOneImageDone, this, &WebSocketOperation::OnScanOneImageDone);
    // Counted where the page is announced, in the scan thread itself.
    connect(m_sane, &SaneScan::sglScanOneImageDone, this, [this] { ++m_pagesAnnounced; }, Qt::DirectConnection);
    connect(m_sane, &SaneScan::sglScanAllImageDone, this, &WebSocketOperation::OnScanAllImageDone);
    return true;
}

void WebSocketOperation::ClearDirectory(const QString &path)
{
    if (path.isEmpty())
        return;
    // NoSymLinks keeps the walk inside the directory: emptying the target of
    // a link would delete files that are not ours.
    QDirIterator it(path, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        RemoveFiles(it.next());
    RemoveFiles(path);
}

void WebSocketOperation::RemoveFiles(const QString &dir)
{
    const QFileInfoList entries = QDir(dir).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink() || entry.isFile())
            QFile::remove(entry.filePath());
    }
}

void WebSocketOperation::ReadSysConfig()
{
    const QString group = QStringLiteral("Scanner");
    QString value;
    m_configSetting->readInit(group, QStringLiteral("ImgPath"), value);
    // The default output folder is whichever scratch folder this start uses.
    // Older copies stored its fixed name, which may now be someone else's.
    const bool isDefault = value.isEmpty() || value == QDir::tempPath() + QStringLiteral("/tempvelloscanimg");
    m_sysConfig->imgPath = isDefault ? m_tempImgDir : value;
    m_configSetting->readInit(group, QStringLiteral("Prefix"), value);
    m_sysConfig->prefix = value;
    m_configSetting->readInit(group, QStringLiteral("ImageFormat"), value);
    m_sysConfig->imageFormat = value.isEmpty() ? QStringLiteral("tiff") : value;
    m_configSetting->readInit(group, QStringLiteral("ScanCount"), value);
    if (value.isEmpty()) {
        m_sysConfig->scanCount = 1;
    } else {
        m_sysConfig->scanCount = ScanSettings::ClampedNumber(value, "ScanCount", ScanSettings::MaxScanCount);
        m_scanCount = m_sysConfig->scanCount;
    }
    m_configSetting->readInit(group, QStringLiteral("ScanMinCountSize"), value);
    if (value.isEmpty()) {
        m_sysConfig->scanMinCountSize = 4;
    } else {
        m_sysConfig->scanMinCountSize =
            ScanSettings::ClampedNumber(value, "ScanMinCountSize", ScanSettings::MaxMinCountSize);
        m_scanMinCountSize = m_sysConfig->scanMinCountSize;
    }
}

void WebSocketOperation::SaveSysConfig()
{
    const QString iniPath = m_dataDir + QStringLiteral("/SysConfig.ini");
    if (!QFile::exists(iniPath)) {
        QFile ini(iniPath);
        ini.open(QIODevice::ReadWrite);
    }
    const QString group = QStringLiteral("Scanner");
    m_configSetting->writeInit(group, QStringLiteral("Prefix"), m_sysConfig->prefix);
    m_configSetting->writeInit(group, QStringLiteral("ScanCount"), QString::number(m_sysConfig->scanCount));
    m_configSetting->writeInit(group, QStringLiteral("ImgPath"),
                               m_sysConfig->imgPath == m_tempImgDir ? QString() : m_sysConfig->imgPath);
    m_configSetting->writeInit(group, QStringLiteral("ImageFormat"), m_sysConfig->imageFormat);
    m_configSetting->writeInit(group, QStringLiteral("ScanMinCountSize"),
                               QString::number(m_sysConfig->scanMinCountSize));
    m_configSetting->sync();
}

void WebSocketOperation::StoreScanCount(int number)
{
    // At once, not at Qt's next sync: the stored number must survive a crash
    // or a kill, or the next start numbers files over it.
    m_configSetting->writeInit(QStringLiteral("Scanner"), QStringLiteral("ScanCount"), QString::number(number));
    m_configSetting->sync();
}

void WebSocketOperation::ParseCustomScanJsonOptions(const QString &json)
{
    ScanSettings::ApplyCustomJson(json, m_tempImgDir, *m_sysConfig, m_deleteFilesBeforeScan, m_showBase64);
}

void WebSocketOperation::SetScanOptionsFromClient(const QVector<QPair<QString, QString>> &options)
{
    for (const auto &option : options)
        m_sane->SetOption(option.first, option.second);
}

// ---------------------------------------------------------------------------
// The connection

void WebSocketOperation::SendMsg(const RetMsg &msg)
{
    emit sendMessage(Protocol::Serialize(msg));
}

RetMsg WebSocketOperation::CodeMsg(int code, const QString &cmd)
{
    RetMsg msg;
    msg.cmd = cmd;
    msg.code = code;
    msg.msg = GetCustomMsg(code);
    return msg;
}

RetMsg WebSocketOperation::SaneStatusMsg(int status)
{
    RetMsg msg;
    msg.code = status;
    msg.msg = GetScanStatusMsg(status);
    return msg;
}

void WebSocketOperation::SendCode(int code, const QString &cmd)
{
    SendMsg(CodeMsg(code, cmd));
}

void WebSocketOperation::SendSaneStatus(int status)
{
    SendMsg(SaneStatusMsg(status));
}

void WebSocketOperation::Refuse(QWebSocket *socket, int code)
{
    RetMsg msg;
    msg.code = code;
    msg.msg = GetCustomMsg(code);
    socket->sendTextMessage(Protocol::Serialize(msg));
    socket->disconnect();
    socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    socket->deleteLater();
}

void WebSocketOperation::OnNewConnection()
{
    while (QWebSocket *socket = m_server->nextPendingConnection()) {
        // A job counts from the moment its page asked for it, not only from
        // when its thread gets to the scanner.
        if (m_isScanning || (m_jobRunning && !m_clients.isEmpty())) {
            Refuse(socket, 1009);
            continue;
        }
        if (!m_clients.isEmpty()) {
            Refuse(socket, 1011);
            continue;
        }
        socket->setMaxAllowedIncomingFrameSize(MaxIncomingMessage);
        socket->setMaxAllowedIncomingMessageSize(MaxIncomingMessage);
        m_clients.append(socket);
        ++m_clientSerial;
        connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketOperation::OnPageMessage);
        connect(this, &WebSocketOperation::sendMessage, socket, &QWebSocket::sendTextMessage);
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            m_clients.clear();
            m_isScanning = false;
            m_waitingMessages.clear();
            m_waitingText = 0;
            socket->deleteLater();
        });

        RetMsg home;
        home.cmd = QStringLiteral("HOME");
        home.code = 2001;
        home.msg = GetCustomMsg(2001);
        home.data = QDir::homePath();
        home.dataType = RetMsgSTRDATA;
        SendMsg(home);
        SendMessageOnFirstConnection();
    }
}

void WebSocketOperation::SendMessageOnFirstConnection()
{
    if (m_deviceList.isEmpty())
        SendCode(1003);
    else
        SendMsg(DevicesMsg(QStringLiteral("SDEV")));
}

RetMsg WebSocketOperation::DevicesMsg(const QString &cmd) const
{
    RetMsg msg;
    msg.cmd = cmd;
    msg.code = 2005;
    msg.msg = GetCustomMsg(2005);
    msg.data = Protocol::WriteDevicesJson(m_deviceList);
    msg.dataType = RetMsgJSONDATA;
    return msg;
}

void WebSocketOperation::ClearClient()
{
    for (int i = m_clients.size() - 1; i >= 0; --i) {
        QWebSocket *socket = m_clients[i];
        socket->disconnect();
        socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
        socket->deleteLater();
    }
    m_clients.clear();
}

void WebSocketOperation::OnPageMessage(const QString &message)
{
    if (!m_base64Pending) {
        Dispatch(message);
        return;
    }
    m_waitingText += message.size();
    if (m_waitingText > MaxWaitingText) {
        std::fprintf(stderr, "velloscan: closed a page that sent more than %lld characters while waiting for a reply\n",
                     MaxWaitingText);
        if (auto *socket = qobject_cast<QWebSocket *>(sender()))
            socket->close(QWebSocketProtocol::CloseCodeTooMuchData);
        return;
    }
    m_waitingMessages.enqueue(message);
}

void WebSocketOperation::Dispatch(const QString &message)
{
    const Protocol::PageCommand command = Protocol::ParseCommand(message, m_jobRunning);
    const QStringList &args = command.args;
    switch (command.action) {
    case Protocol::PageCommand::Ignore:
        break;
    case Protocol::PageCommand::Busy:
        SendCode(1009);
        break;
    case Protocol::PageCommand::ListDevices:
        GetDeviceList();
        break;
    case Protocol::PageCommand::ReadOptions:
        if (!args.isEmpty())
            m_currentDevice = args[0];
        GetScanOptions(m_currentDevice);
        break;
    case Protocol::PageCommand::Scan:
        StartScanJob(args);
        break;
    case Protocol::PageCommand::ReadFile:
        ReplyBase64(args[0]);
        break;
    }
}

// ---------------------------------------------------------------------------
// Files the page may read back

void WebSocketOperation::ReplyBase64(const QString &path)
{
    m_base64Pending = true;
    const quint64 client = m_clientSerial;
    m_base64.FileReply(m_servedFiles.Open(path), path,
                       [this, client](const QString &message) { OnBase64Reply(message, client); });
}

void WebSocketOperation::OnBase64Reply(const QString &message, quint64 client)
{
    m_base64Pending = false;
    if (client == m_clientSerial)
        emit sendMessage(message);
    while (!m_base64Pending && !m_waitingMessages.isEmpty()) {
        const QString next = m_waitingMessages.dequeue();
        m_waitingText -= next.size();
        Dispatch(next);
    }
}

// ---------------------------------------------------------------------------
// Devices and options

void WebSocketOperation::WaitForPreload()
{
    m_loadOptionsFuture.waitForFinished();
}

void WebSocketOperation::EnumerateDevices()
{
    WaitForPreload();
    m_deviceList.clear();
    m_allScannerOptions.clear();
    QVector<QString> found;
    const int status = m_sane->GetDeviceList(found);
    m_saneStatus = status;
    if (status == SaneStatusNoDevice || found.isEmpty())
        return;
    m_deviceList = Protocol::OfferedDevices(found);
    FutureLoadAllScannersOptions();
    if (!m_deviceList.isEmpty())
        m_currentDevice = m_deviceList.first();
}

void WebSocketOperation::GetDeviceList()
{
    try {
        EnumerateDevices();
        // The reply is the greeting's: the list just made, or 1003 when empty.
        SendMessageOnFirstConnection();
    } catch (...) {
        SendCode(1001);
    }
}

void WebSocketOperation::GetDeviceListOnLoad()
{
    try {
        EnumerateDevices();
    } catch (...) {
    }
}

void WebSocketOperation::GetScanOptions(const QString &device)
{
    if (device.isEmpty()) {
        SendCode(1004);
        return;
    }
    try {
        WaitForPreload();
        m_currentOptions.clear();
        const auto preloaded = m_allScannerOptions.constFind(device);
        if (preloaded != m_allScannerOptions.constEnd()) {
            m_currentOptions = *preloaded;
        } else {
            // Devices the service does not offer are not there for the page.
            const int status = Protocol::IsOffered(device) ? m_sane->OpenDevice(device) : SaneStatusNoDevice;
            m_saneStatus = status;
            if (status != SANE_STATUS_GOOD) {
                SendSaneStatus(status);
                return;
            }
            m_currentOptions = m_sane->GetAllOptions();
            m_sane->CloseDevice();
        }
        RetMsg msg;
        msg.cmd = QStringLiteral("SOPT");
        msg.code = 2006;
        msg.msg = GetCustomMsg(2006);
        msg.data = m_scannerOption.WriteJson(m_currentOptions);
        msg.dataType = RetMsgJSONDATA;
        SendMsg(msg);
    } catch (...) {
        SendCode(1002);
    }
}

void WebSocketOperation::FutureLoadAllScannersOptions()
{
    // Callers have joined the previous preload already (EnumerateDevices).
    m_loadOptionsFuture = QtConcurrent::run([this] { LoadAllScannersOptionsForFuture(); });
}

void WebSocketOperation::LoadAllScannersOptionsForFuture()
{
    try {
        GetAllScannerWithOptions();
        m_scannerOption.SetAllScannerOptions(m_allScannerOptions);
    } catch (...) {
        std::fprintf(stderr, "velloscan: reading the scanners' options failed\n");
    }
}

void WebSocketOperation::GetAllScannerWithOptions()
{
    for (const QString &device : qAsConst(m_deviceList)) {
        const int status = m_sane->OpenDevice(device);
        m_saneStatus = status;
        if (status != SANE_STATUS_GOOD)
            return;
        OptionTable options = m_sane->GetAllOptions();
        m_sane->CloseDevice();
        m_allScannerOptions.insert(device, options);
    }
}

// ---------------------------------------------------------------------------
// USB plug and unplug

void WebSocketOperation::EnableUsbDetect()
{
    connect(m_usbHotplugThread, &USBHotplugThread::sigUSBListChanged, this,
            [this](int type, const QStringList &) {
                if (m_usbDetecting)
                    return;
                // Nothing is sent during a job, but the change is kept: the
                // refresh runs once the job has ended.
                if (m_jobRunning) {
                    m_usbChangePending = true;
                    return;
                }
                StartUsbDetect(type);
            });
}

bool WebSocketOperation::DisableUsbDetect()
{
    return QObject::disconnect(m_usbHotplugThread, nullptr, nullptr, nullptr);
}

void WebSocketOperation::StartUsbDetect(int)
{
    const QString cmd = QStringLiteral("SDEVPLUG");
    m_usbDetecting = true;
    try {
        EnumerateDevices();
        if (m_deviceList.isEmpty())
            SendCode(1003, cmd);
        else
            SendMsg(DevicesMsg(cmd));
    } catch (...) {
        SendCode(1001, cmd);
    }
    m_usbDetecting = false;
}
