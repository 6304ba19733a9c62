#include "websocketoperation.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <clocale>
#include <cstdio>
#include <string>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop picks the byte up.
void onTerminate(int)
{
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so that the service's teardown runs
// (USB listener joined, SANE released, page closed) and the process exits 0.
void quitOnTerminationSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// The start-up takes no arguments and ignores any it does not know; these
// two answer and end before anything is started.
bool answeredArguments(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--version") {
            std::printf("velloscan %s\n", VELLOSCAN_VERSION);
            return true;
        }
        if (arg == "--help") {
            std::printf("Usage: velloscan [--version | --help]\n\n"
                        "The scanning service for web pages: it listens for one page at a time on a\n"
                        "WebSocket (port 23165, or the number in port.txt beside the executable) and\n"
                        "drives the maker's scanners through SANE. It takes no other arguments; its\n"
                        "settings are in ~/.velloscan/SysConfig.ini (~/.config/com.corvane.velloscan\n"
                        "on Uos) and /etc/velloscan/velloscan.ini.\n"
                        "SIGTERM or SIGINT end it.\n");
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (answeredArguments(argc, argv))
        return 0;
    QCoreApplication app(argc, argv);
    // Qt has just set the C library's locale from the desktop's. Under a
    // comma-decimal locale strtod would read "25.4" as 25 and printf would
    // write "595,2800" into every PDF, so numbers stay in the C locale.
    std::setlocale(LC_NUMERIC, "C");
    quitOnTerminationSignals(app);
    int result = 0;
    {
        WebSocketOperation service;
#ifdef VELLOSCAN_MACHINE_SETTINGS_BESIDE_BINARY
        service.SetMachineSettings(QCoreApplication::applicationDirPath() + QStringLiteral("/velloscan.ini"));
#endif
        if (!service.Load())
            return 1;
        result = app.exec();
    }
    return result;
}
