#include "websocketoperation.h"

#include "devicecatalog.h"
#include "instancelock.h"
#include "scratchfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <QWebSocketServer>

#include <cstdio>
#include <malloc.h>

namespace {

// Pages send short commands; anything near this size is a mistake or an attack.
constexpr quint64 MaxIncomingMessage = 1024 * 1024;
// Characters a page may send while a Base64 reply is made. A page waits for
// each reply; one that keeps sending meanwhile is not a page.
constexpr qint64 MaxWaitingText = 16 * MaxIncomingMessage;
constexpr int ChildTimeoutMs = 30000;
constexpr int LargeReply = 4 * 1024 * 1024; // characters
// The socket writes a large reply in pieces; once it has been quiet this
// long, the reply has left.
constexpr int TrimAfterQuietMs = 200;

QString dataDirectory()
{
    QProcess lsb;
    lsb.start(QStringLiteral("lsb_release"), {QStringLiteral("-i")}, QIODevice::ReadWrite);
    lsb.waitForFinished(ChildTimeoutMs);
    QString distributor = QString::fromLocal8Bit(lsb.readAllStandardOutput());
    distributor.remove(QStringLiteral("Distributor ID:\t"));
    distributor.remove(QLatin1Char('\n'));
    if (distributor == QLatin1String("Uos"))
        return QDir::homePath() + QStringLiteral("/.config/com.corvane.velloscan");
    return QDir::homePath() + QStringLiteral("/.velloscan");
}

// The port, and where it came from for the start-up lines.
quint16 configuredPort(QString &source)
{
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/port.txt");
    QFile portFile(path);
    source = QStringLiteral("the default; no ") + path;
    if (!portFile.open(QIODevice::ReadOnly | QIODevice::Text))
        return Protocol::DefaultPort;
    bool ok = false;
    const quint16 port = Protocol::ParsePort(portFile.readAll(), &ok);
    if (!ok)
        std::fprintf(stderr, "velloscan: port.txt holds no port number; using %u\n", port);
    source = ok ? path : QStringLiteral("the default; ") + path + QStringLiteral(" holds no port");
    return port;
}

} // namespace

WebSocketOperation::WebSocketOperation()
{
    m_trimTimer.setSingleShot(true);
    m_trimTimer.setInterval(TrimAfterQuietMs);
    connect(&m_trimTimer, &QTimer::timeout, this, &WebSocketOperation::ReturnFreeMemory);
}

WebSocketOperation::~WebSocketOperation()
{
    // A Base64 text being made is abandoned: the page is about to be closed.
    m_base64.Stop();
    StopScanJob();
    StopUsbWatch();
    m_catalog.reset();
    if (m_server) {
        ClearClient();
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
}

bool WebSocketOperation::Load()
{
    m_catalog = std::make_unique<DeviceCatalog>();
    const QString dataDir = dataDirectory();
    if (!QDir(dataDir).exists())
        QDir().mkdir(dataDir);
    m_instanceLock = std::make_unique<InstanceLock>(dataDir);
    if (!m_instanceLock->TryLock())
        return false;

    m_imgDir = ScratchFolder::Prepare(QDir::tempPath() + QStringLiteral("/velloscanimg"));
    ClearDirectory(m_imgDir);
    m_tempImgDir = ScratchFolder::Prepare(QDir::tempPath() + QStringLiteral("/tempvelloscanimg"));
    ClearDirectory(m_tempImgDir);
    m_servedFiles.AddRoot(m_imgDir);
    m_servedFiles.AddRoot(m_tempImgDir);

    m_settings.Open(dataDir + QStringLiteral("/SysConfig.ini"), m_tempImgDir);
    if (!m_access.Read(m_settings.Path(), m_machineSettings))
        return false;
    m_catalog->Init();
    QString portSource;
    const quint16 port = configuredPort(portSource);
    StartUsbWatch();
    m_catalog->Enumerate();

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

    // What a newcomer (or "systemctl --user status") needs to find its way.
    std::fprintf(stderr, "velloscan %s listening on %s port %u (%s)\n", VELLOSCAN_VERSION,
                 qUtf8Printable(m_access.ListenAddress().toString()), port, qUtf8Printable(portSource));
    std::fprintf(stderr, "velloscan: settings %s; pages scanned to %s and %s\n", qUtf8Printable(m_settings.Path()),
                 qUtf8Printable(m_tempImgDir), qUtf8Printable(m_imgDir));
    const QVector<QString> &devices = m_catalog->Devices();
    std::fprintf(stderr, "velloscan: %d scanner(s)%s%s\n", int(devices.size()), devices.isEmpty() ? "" : ": ",
                 qUtf8Printable(QStringList(devices.toList()).join(QStringLiteral(", "))));
    return true;
}

void WebSocketOperation::SendMsg(const RetMsg &msg)
{
    emit sendMessage(Protocol::Serialize(msg));
}

void WebSocketOperation::SendText(const QString &text)
{
    emit sendMessage(text);
    // A large reply leaves hundreds of megabytes free but still held by the
    // process; they go back to the system once the socket is done with them.
    if (text.size() > LargeReply)
        m_trimArmed = true;
}

void WebSocketOperation::ReturnFreeMemory()
{
    m_trimArmed = false;
    ::malloc_trim(0);
}

void WebSocketOperation::Refuse(QWebSocket *socket, ReplyCode code)
{
    socket->sendTextMessage(Protocol::Serialize(Reply::Error(code)));
    socket->disconnect();
    socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    socket->deleteLater();
}

void WebSocketOperation::OnNewConnection()
{
    while (QWebSocket *socket = m_server->nextPendingConnection()) {
        // A job counts from the moment its page asked for it, not only from
        // when its thread gets to the scanner.
        if (m_scanning || (m_job && !m_clients.isEmpty())) {
            Refuse(socket, Busy);
            continue;
        }
        if (!m_clients.isEmpty()) {
            Refuse(socket, OneClientOnly);
            continue;
        }
        socket->setMaxAllowedIncomingFrameSize(MaxIncomingMessage);
        socket->setMaxAllowedIncomingMessageSize(MaxIncomingMessage);
        m_clients.append(socket);
        m_clientOrigin = socket->origin();
        ++m_clientSerial;
        connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketOperation::OnPageMessage);
        connect(this, &WebSocketOperation::sendMessage, socket, &QWebSocket::sendTextMessage);
        connect(socket, &QWebSocket::bytesWritten, this, [this] {
            if (m_trimArmed)
                m_trimTimer.start();
        });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            m_clients.clear();
            m_scanning = false;
            m_waitingMessages.clear();
            m_waitingText = 0;
            socket->deleteLater();
        });
        SendMsg(Reply::Home(QDir::homePath()));
        SendMsg(Reply::Devices(QStringLiteral("SDEV"), m_catalog->Devices()));
    }
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
    const Protocol::PageCommand command = Protocol::ParseCommand(message, m_job != nullptr);
    const QStringList &args = command.args;
    switch (command.action) {
    case Protocol::PageCommand::Ignore:
        break;
    case Protocol::PageCommand::Busy:
        SendMsg(Reply::Error(Busy));
        break;
    case Protocol::PageCommand::ListDevices:
        GetDeviceList();
        break;
    case Protocol::PageCommand::ReadOptions:
        if (!args.isEmpty())
            m_catalog->SetCurrentDevice(args[0]);
        GetScanOptions(m_catalog->CurrentDevice());
        break;
    case Protocol::PageCommand::Scan:
        StartScanJob(args);
        break;
    case Protocol::PageCommand::ReadFile:
        ReplyBase64(args[0]);
        break;
    case Protocol::PageCommand::Version:
        ReplyVersion();
        break;
    case Protocol::PageCommand::Status:
        ReplyStatus();
        break;
    case Protocol::PageCommand::Cancel:
        CancelJob();
        break;
    case Protocol::PageCommand::Replay:
        ReplayJob();
        break;
    case Protocol::PageCommand::DeviceInfo:
        SendMsg(Reply::DeviceInfo(m_catalog->DeviceInfoDocument()));
        break;
    case Protocol::PageCommand::ReadChunk:
        ReadChunk(args);
        break;
    }
}

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
        SendText(message);
    DispatchWaiting();
}

void WebSocketOperation::DispatchWaiting()
{
    while (!m_base64Pending && !m_waitingMessages.isEmpty()) {
        const QString next = m_waitingMessages.dequeue();
        m_waitingText -= next.size();
        Dispatch(next);
    }
}

void WebSocketOperation::GetDeviceList()
{
    m_catalog->Enumerate(DeviceCatalog::Known::Keep);
    SendMsg(Reply::Devices(QStringLiteral("SDEV"), m_catalog->Devices()));
}

void WebSocketOperation::GetScanOptions(const QString &device)
{
    if (device.isEmpty()) {
        SendMsg(Reply::Error(NoDeviceChosen));
        return;
    }
    int status = 0;
    const QString document = m_catalog->OptionsDocument(device, status);
    SendMsg(status == SANE_STATUS_GOOD ? Reply::Options(document) : Reply::SaneStatus(status));
}
