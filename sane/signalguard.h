#ifndef VELLOSCAN_SIGNALGUARD_H
#define VELLOSCAN_SIGNALGUARD_H

#include <csignal>

// Some SANE backends start a reader thread that puts SIGTERM and SIGINT back
// to their default action around sane_start; a termination request would
// then kill the service outright instead of letting it shut down and keep
// its pages. The scan loop saves what the service installed and puts it back
// whenever a backend has changed it.
class SignalGuard
{
public:
    void save()
    {
        m_saved = sigaction(SIGTERM, nullptr, &m_term) == 0 && sigaction(SIGINT, nullptr, &m_int) == 0;
    }

    void restore() const
    {
        if (!m_saved)
            return;
        restoreOne(SIGTERM, m_term);
        restoreOne(SIGINT, m_int);
    }

private:
    static void restoreOne(int signal, const struct sigaction &saved)
    {
        struct sigaction now = {};
        if (sigaction(signal, nullptr, &now) != 0)
            return;
        if (now.sa_handler != saved.sa_handler || now.sa_flags != saved.sa_flags)
            sigaction(signal, &saved, nullptr);
    }

    struct sigaction m_term = {};
    struct sigaction m_int = {};
    bool m_saved = false;
};

#endif
