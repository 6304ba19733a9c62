// A text message from the page: how the dispatcher splits it and what it
// decides to do, with and without a running job.
#include "fuzzcheck.h"
#include "protocol.h"

#include <cstddef>
#include <cstdint>

namespace {

int arity(Protocol::PageCommand::Action action)
{
    switch (action) {
    case Protocol::PageCommand::ReadOptions:
    case Protocol::PageCommand::ReadFile:
        return 1;
    case Protocol::PageCommand::Scan:
        return 2;
    default:
        return 0;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using Command = Protocol::PageCommand;
    const QString message = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QStringList pieces = message.split(QLatin1Char('|'));
    const Command idle = Protocol::ParseCommand(message, false);
    const Command busy = Protocol::ParseCommand(message, true);

    FUZZ_CHECK(idle.action != Command::Busy);
    FUZZ_CHECK(idle.args.size() <= arity(idle.action));
    FUZZ_CHECK(idle.args == pieces.mid(1, idle.args.size()));
    // The arguments that the command takes and the message carries, none dropped.
    FUZZ_CHECK(idle.args.size() == qMin(arity(idle.action), pieces.size() - 1));
    FUZZ_CHECK(idle.action != Command::ReadFile || idle.args.size() == 1);

    // A running job refuses exactly the commands that touch the engine or the
    // job; the others are decided as without one.
    const bool touchesJob = idle.action == Command::ListDevices || idle.action == Command::ReadOptions
        || idle.action == Command::Scan;
    if (touchesJob) {
        FUZZ_CHECK(busy.action == Command::Busy && busy.args.isEmpty());
    } else {
        FUZZ_CHECK(busy.action == idle.action && busy.args == idle.args);
    }
    return 0;
}
