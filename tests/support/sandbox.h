#ifndef VELLOSCAN_TEST_SANDBOX_H
#define VELLOSCAN_TEST_SANDBOX_H

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

// A private world for one run of the real service: its own HOME and TMPDIR,
// a copy of the binary with its port.txt, a PATH holding only the fake tools
// the test chose, and a SANE configuration that loads the simulated backends.
//
// With VELLOSCAN_PROGRAM set in the environment the world runs that program
// instead (the installed service); it has no port.txt of ours beside it, so
// it listens on the default port.
class Sandbox
{
public:
    Sandbox();
    ~Sandbox();

    QString root() const { return m_dir.path(); }
    QString home() const { return root() + "/home"; }
    QString tmp() const { return root() + "/tmp"; }
    QString imgDir() const { return tmp() + "/velloscanimg"; }
    QString tempImgDir() const { return tmp() + "/tempvelloscanimg"; }
    QString dataDir() const { return home() + "/.velloscan"; }
    QString appDir() const { return root() + "/app"; }
    QString saneDir() const { return root() + "/sane"; }
    QString simLog() const { return saneDir() + "/velloscan-sim.log"; }
    quint16 port() const { return m_port; }
    // The service program this world runs.
    QString program() const { return m_program; }

    // The simulator's device lines ("device cvnfa DR-1 ...", one per line).
    void setDevices(const QString &deviceLines);
    // port.txt beside the binary.
    void writePortFile(const QByteArray &content) { writeFile(appDir() + "/port.txt", content); }
    void removePortFile() { QFile::remove(appDir() + "/port.txt"); }
    void usePort(quint16 port) { m_port = port; }
    // A fake tool on PATH: a shell script printing `output` and exiting with `status`.
    void writeTool(const QString &name, const QByteArray &output, int status = 0);
    void removeTool(const QString &name) { QFile::remove(root() + "/bin/" + name); }
    // One more variable in the service's environment.
    void setEnvironment(const QString &name, const QString &value) { m_extraEnv.insert(name, value); }
    // The user's SysConfig.ini.
    bool writeSettings(const QByteArray &ini);
    // The machine's access settings. An installed service reads them from
    // /etc/velloscan; this world switches to the test build, which reads
    // them beside itself. False when running an installed program.
    bool writeMachineSettings(const QByteArray &ini);

    bool start();
    // Runs one more copy of the service in this world until it exits by
    // itself; returns its exit code, or -1 when it crashed or was still
    // running after the time. Its standard error goes to `errors`.
    int runCopy(QString *errors, int timeoutMs = 15000);
    // Starts the service and connects the page; true once it was greeted.
    bool startWithPage(class PageClient &page);
    // Sends SIGTERM and waits; returns the exit code, or -1 when the process
    // did not exit normally within the time.
    int terminate(int timeoutMs = 10000);
    QProcess &process() { return m_process; }
    QString standardError();
    QStringList simLogLines() const;

    static quint16 freePort();
    QString url() const { return QStringLiteral("ws://127.0.0.1:%1").arg(m_port); }

private:
    static bool writeFile(const QString &path, const QByteArray &content);
    QProcessEnvironment environment() const;
    void prepare(QProcess &process) const;
    static int exitCode(const QProcess &process);

    QTemporaryDir m_dir;
    QString m_program;
    QProcess m_process;
    QProcessEnvironment m_extraEnv;
    quint16 m_port = 0;
    QByteArray m_stderr;
};

// A page: a WebSocket client that keeps every text frame it receives.
class PageClient : public QObject
{
    Q_OBJECT
public:
    // `origin` goes into the handshake's Origin header; none when empty.
    explicit PageClient(const QString &origin = QString());
    bool open(const QString &url, int timeoutMs = 10000);
    void send(const QString &text) { socket.sendTextMessage(text); }
    // Waits until `count` messages have arrived in total.
    bool waitForMessages(int count, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return messages.size() >= count; }, timeoutMs);
    }
    QJsonObject message(int index) const;

    QWebSocket socket;
    QStringList messages;
    bool closed = false;
};

// The messages of one job: the page reports, then the one that ended it.
struct Job {
    QList<QJsonObject> reports;
    QJsonObject end; // empty when the job did not end in time
    QStringList paths() const;
};
// The job's last message: its end, or an error (empty Cmd).
bool isEnd(const QJsonObject &message);
// Sends `command` and collects messages up to the job's last one.
Job runJob(PageClient &page, const QString &command, int timeoutMs = 60000);
QString scanCommand(const QString &device, const QString &json);
// "ScanCount" as the service stored it.
QString storedScanCount(const Sandbox &box);
// The JSON of a message's Base64 "json" data.
QJsonObject jsonData(const QJsonObject &message);

// Decodes the Base64 Data of a devices message into the device names.
QStringList devicesOf(const QJsonObject &message);

#endif
