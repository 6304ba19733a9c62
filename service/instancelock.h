#ifndef VELLOSCAN_INSTANCELOCK_H
#define VELLOSCAN_INSTANCELOCK_H

#include <QString>

// Keeps a second copy of the service for the same user from running: the
// copy that holds the lock file in the data directory runs, any other exits
// before it empties the scratch directories the first one is writing into.
// The kernel drops the lock when its holder dies, so a crash leaves nothing
// stale behind.
class InstanceLock
{
public:
    explicit InstanceLock(const QString &dataDir);
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // False only when another process holds the lock; says why on standard
    // error. A lock file that cannot be made at all (no data directory) does
    // not stop the service, which then runs unguarded as it always could.
    bool TryLock();

private:
    QString m_path;
    int m_fd = -1;
};

#endif
