#include "sandbox.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>

bool Sandbox::writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

Sandbox::Sandbox()
{
    for (const char *sub : {"home", "tmp", "app", "bin", "sane"})
        QDir().mkpath(root() + "/" + sub);
    m_program = qEnvironmentVariable("VELLOSCAN_PROGRAM");
    if (m_program.isEmpty()) {
        m_program = appDir() + "/velloscan";
        QFile::copy(VELLOSCAN_BINARY, m_program);
        QFile::setPermissions(m_program, QFile::permissions(VELLOSCAN_BINARY));
        m_port = freePort();
        writePortFile(QByteArray::number(m_port) + "\n");
    } else {
        m_port = 23165;
    }
    QFile::copy(VELLOSCAN_SIM_DLLCONF, saneDir() + "/dll.conf");
    writeTool("lsb_release", "Distributor ID:\tDebian\n");
    setDevices(QString());
}

Sandbox::~Sandbox()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void Sandbox::setDevices(const QString &deviceLines)
{
    writeFile(saneDir() + "/velloscan-sim.conf",
              "log " + simLog().toUtf8() + "\n" + deviceLines.toUtf8() + "\n");
}

bool Sandbox::writeSettings(const QByteArray &ini)
{
    return QDir().mkpath(dataDir()) && writeFile(dataDir() + "/SysConfig.ini", ini);
}

bool Sandbox::writeMachineSettings(const QByteArray &ini)
{
    if (!qEnvironmentVariable("VELLOSCAN_PROGRAM").isEmpty())
        return false;
    QFile::remove(m_program);
    return QFile::copy(VELLOSCAN_TEST_BINARY, m_program)
        && QFile::setPermissions(m_program, QFile::permissions(VELLOSCAN_TEST_BINARY))
        && writeFile(appDir() + "/velloscan.ini", ini);
}

void Sandbox::writeTool(const QString &name, const QByteArray &output, int status)
{
    QByteArray script = "#!/bin/sh\nprintf '%s' '";
    script += QByteArray(output).replace("'", "'\\''");
    script += "'\nexit " + QByteArray::number(status) + "\n";
    const QString path = root() + "/bin/" + name;
    writeFile(path, script);
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

quint16 Sandbox::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QProcessEnvironment Sandbox::environment() const
{
    QProcessEnvironment env;
    env.insert("HOME", home());
    env.insert("TMPDIR", tmp());
    env.insert("PATH", root() + "/bin");
    env.insert("SANE_CONFIG_DIR", saneDir());
    env.insert("LD_LIBRARY_PATH", VELLOSCAN_SIM_LIBDIR);
    env.insert("LANG", "C.UTF-8");
    // A sanitized run tells every process where its reports go.
    const QProcessEnvironment outer = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
        if (outer.contains(name))
            env.insert(name, outer.value(name));
    env.insert(m_extraEnv);
    return env;
}

void Sandbox::prepare(QProcess &process) const
{
    process.setProcessEnvironment(environment());
    process.setProgram(m_program);
    process.setWorkingDirectory(root());
}

int Sandbox::exitCode(const QProcess &process)
{
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool Sandbox::start()
{
    prepare(m_process);
    m_process.start();
    if (!m_process.waitForStarted(5000))
        return false;
    // Listening is the only sign of readiness the service gives; probe it.
    return QTest::qWaitFor([this] {
        if (m_process.state() != QProcess::Running)
            return true;
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        return probe.waitForConnected(200);
    }, 15000) && m_process.state() == QProcess::Running;
}

bool Sandbox::startWithPage(PageClient &page)
{
    return start() && page.open(url()) && page.waitForMessages(2);
}

int Sandbox::runCopy(QString *errors, int timeoutMs)
{
    QProcess copy;
    prepare(copy);
    copy.start();
    const bool ended = copy.waitForFinished(timeoutMs);
    if (!ended) {
        copy.kill();
        copy.waitForFinished(5000);
    }
    if (errors)
        *errors = QString::fromUtf8(copy.readAllStandardError());
    return ended ? exitCode(copy) : -1;
}

int Sandbox::terminate(int timeoutMs)
{
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(timeoutMs))
            return -1;
    }
    return exitCode(m_process);
}

QString Sandbox::standardError()
{
    m_stderr += m_process.readAllStandardError();
    return QString::fromUtf8(m_stderr);
}

QStringList Sandbox::simLogLines() const
{
    QFile f(simLog());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts) : QStringList();
}

PageClient::PageClient(const QString &origin)
    : socket(origin)
{
    connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString &m) { messages << m; });
    connect(&socket, &QWebSocket::disconnected, this, [this] { closed = true; });
}

bool PageClient::open(const QString &url, int timeoutMs)
{
    socket.open(QUrl(url));
    return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState || closed; },
                           timeoutMs)
        && socket.state() == QAbstractSocket::ConnectedState;
}

QJsonObject PageClient::message(int index) const
{
    return QJsonDocument::fromJson(messages.value(index).toUtf8()).object();
}

QStringList devicesOf(const QJsonObject &message)
{
    const QByteArray json = QByteArray::fromBase64(message.value("Data").toString().toLatin1());
    QStringList names;
    for (const QJsonValue &d : QJsonDocument::fromJson(json).object().value("Devs").toArray())
        names << d.toObject().value("Name").toString();
    return names;
}

QStringList Job::paths() const
{
    QStringList out;
    for (const QJsonObject &r : reports)
        out << r.value("Data").toString().section('|', 1);
    return out;
}

bool isEnd(const QJsonObject &m)
{
    const QString cmd = m.value("Cmd").toString();
    return cmd == "SSCANALL" || cmd == "SSCANMUL" || cmd.isEmpty();
}

Job runJob(PageClient &page, const QString &command, int timeoutMs)
{
    const int first = page.messages.size();
    page.send(command);
    Job job;
    [[maybe_unused]] const bool ended = QTest::qWaitFor([&] {
        for (int i = first; i < page.messages.size(); ++i)
            if (isEnd(page.message(i)))
                return true;
        return false;
    }, timeoutMs);
    for (int i = first; i < page.messages.size(); ++i) {
        const QJsonObject m = page.message(i);
        if (isEnd(m)) {
            job.end = m;
            break;
        }
        if (m.value("Cmd").toString() == "SSCANONE")
            job.reports << m;
    }
    return job;
}

QString scanCommand(const QString &device, const QString &json)
{
    return "CSCAN|" + device + "|" + json;
}

QString storedScanCount(const Sandbox &box)
{
    return QSettings(box.dataDir() + "/SysConfig.ini", QSettings::IniFormat).value("Scanner/ScanCount").toString();
}

QJsonObject jsonData(const QJsonObject &message)
{
    return QJsonDocument::fromJson(QByteArray::fromBase64(message.value("Data").toString().toLatin1())).object();
}
