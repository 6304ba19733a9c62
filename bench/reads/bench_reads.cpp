// Reading a 300 MiB file back: "CREAD" in 4 MiB pieces against an HTTP
// download of the same file from a local static web server, one client, one
// run each; and the service's peak resident memory meanwhile. Prints, never
// fails.
#include "sandbox.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr qint64 FileSize = qint64(300) * 1024 * 1024;
constexpr qint64 Piece = qint64(4) * 1024 * 1024;

// What the client does with the bytes: counts them. The end-to-end tests
// check the bytes themselves; here a pass over them would only blur the
// difference between the two ways.
struct Received {
    qint64 bytes = 0;
    void add(const QByteArray &data) { bytes += data.size(); }
};

double cpuSeconds(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // utime and stime: fields 14 and 15, the 12th and 13th after the command's ")".
    const QList<QByteArray> f = stat.readAll().split(')').last().trimmed().split(' ');
    return f.size() > 12 ? (f[11].toLongLong() + f[12].toLongLong()) / double(sysconf(_SC_CLK_TCK)) : 0;
}

long statusKiB(qint64 pid, const char *field)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLong();
    }
    return -1;
}

bool writeContent(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(int(Piece), '\0');
    quint32 x = 12345;
    for (qint64 written = 0; written < FileSize; written += block.size()) {
        for (char &c : block) {
            x = x * 1103515245u + 12345u;
            c = char(x >> 24);
        }
        if (f.write(block) != block.size())
            return false;
    }
    return true;
}

// Keeps `inFlight` requests out at a time: 1 is a client that waits for each
// piece before asking for the next.
double readThroughService(PageClient &page, const QString &path, int inFlight, Received &got)
{
    const int pieces = int((FileSize + Piece - 1) / Piece);
    int asked = 0;
    const auto ask = [&] {
        page.send(QString("CREAD|%1|%2|%3").arg(path).arg(asked * Piece).arg(Piece));
        ++asked;
    };
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    int received = 0;
    const QMetaObject::Connection connection =
        QObject::connect(&page.socket, &QWebSocket::binaryMessageReceived, &loop, [&](const QByteArray &data) {
            got.add(data);
            if (++received == pieces)
                loop.quit();
            else if (asked < pieces)
                ask();
        });
    while (asked < qMin(inFlight, pieces))
        ask();
    loop.exec();
    QObject::disconnect(connection);
    return t.nsecsElapsed() / 1e9;
}

bool serverListening(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QStringLiteral("127.0.0.1"), port);
    return probe.waitForConnected(200);
}

double readThroughHttp(const QString &dir, const QString &name, Received &got)
{
    const quint16 port = Sandbox::freePort();
    QProcess server;
    server.setStandardErrorFile(QProcess::nullDevice());
    server.setStandardOutputFile(QProcess::nullDevice());
    server.start("python3", {"-m", "http.server", "--bind", "127.0.0.1", "--directory", dir, QString::number(port)});
    if (!server.waitForStarted() || !QTest::qWaitFor([&] { return serverListening(port); }, 10000))
        return -1;
    QNetworkAccessManager network;
    QElapsedTimer t;
    t.start();
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(QString("http://127.0.0.1:%1/%2").arg(port).arg(name))));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::readyRead, [&] { got.add(reply->readAll()); });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    got.add(reply->readAll());
    const double seconds = t.nsecsElapsed() / 1e9;
    reply->deleteLater();
    server.terminate();
    server.waitForFinished();
    return seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Sandbox box;
    PageClient page;
    if (!box.startWithPage(page)) {
        std::printf("reads: the service did not start\n");
        return 0;
    }
    const QString name = "document.pdf";
    const QString path = box.tempImgDir() + "/" + name;
    if (!writeContent(path)) {
        std::printf("reads: cannot write %s\n", qPrintable(path));
        return 0;
    }
    const qint64 pid = box.process().processId();
    const long idleKiB = statusKiB(pid, "VmRSS:");

    Received viaService;
    const double cpuBefore = cpuSeconds(pid);
    const double clientBefore = cpuSeconds(QCoreApplication::applicationPid());
    const double service = readThroughService(page, path, 1, viaService);
    const double serviceCpu = cpuSeconds(pid) - cpuBefore;
    const double clientCpu = cpuSeconds(QCoreApplication::applicationPid()) - clientBefore;
    const long peakKiB = statusKiB(pid, "VmHWM:");
    // The service hands its spare memory back once the socket is quiet.
    QTest::qWait(1000);
    const long afterKiB = statusKiB(pid, "VmRSS:");
    Received allAtOnce;
    const double pipelined = readThroughService(page, path, int(FileSize / Piece), allAtOnce);
    const long pipelinedPeakKiB = statusKiB(pid, "VmHWM:");
    Received viaHttp;
    const double http = readThroughHttp(box.tempImgDir(), name, viaHttp);

    const double mib = FileSize / 1048576.0;
    std::printf("reads: %.0f MiB file, 4 MiB pieces: CREAD %.3f s (%.0f MiB/s), HTTP %.3f s (%.0f MiB/s);"
                " CREAD/HTTP %.2f (target within 2)\n",
                mib, service, mib / service, http, mib / http, service / http);
    std::printf("reads: processor time during CREAD: service %.2f s (%.1f ms a piece, in its event loop), client %.2f s\n",
                serviceCpu, serviceCpu * 1000 / double(FileSize / Piece), clientCpu);
    std::printf("reads: service resident %.1f MiB idle, peak %.1f MiB: %.1f MiB above idle (target < 64 MiB);"
                " %.1f MiB 1 s after\n",
                idleKiB / 1024.0, peakKiB / 1024.0, (peakKiB - idleKiB) / 1024.0, afterKiB / 1024.0);
    std::printf("reads: every piece asked at once: CREAD %.3f s (%.0f MiB/s), service peak %.1f MiB above idle\n",
                pipelined, mib / pipelined, (pipelinedPeakKiB - idleKiB) / 1024.0);
    std::printf("reads: bytes received: CREAD %lld and %lld, HTTP %lld\n", viaService.bytes, allAtOnce.bytes,
                viaHttp.bytes);
    return 0;
}
