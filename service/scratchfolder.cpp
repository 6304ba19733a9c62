#include "scratchfolder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int openFolder(const QByteArray &path)
{
    // No link followed, so the checks below are about the entry itself.
    return ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

QString reasonOf(int error)
{
    if (error == ELOOP)
        return QStringLiteral("a symbolic link");
    if (error == ENOTDIR)
        return QStringLiteral("not a folder");
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

bool ScratchFolder::Ensure(const QString &path, QString *why)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = openFolder(name);
    if (fd < 0 && errno == ENOENT) {
        // EEXIST: someone made it meanwhile; the checks below judge it.
        if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
            if (why)
                *why = reasonOf(errno);
            return false;
        }
        fd = openFolder(name);
    }
    if (fd < 0) {
        if (why)
            *why = reasonOf(errno);
        return false;
    }
    // Checked and narrowed through the descriptor: the entry cannot be
    // swapped between the check and the change.
    struct stat st;
    QString problem;
    if (::fstat(fd, &st) != 0)
        problem = reasonOf(errno);
    else if (st.st_uid != ::geteuid())
        problem = QStringLiteral("owned by user %1").arg(st.st_uid);
    else if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0)
        problem = reasonOf(errno);
    ::close(fd);
    if (why)
        *why = problem;
    return problem.isEmpty();
}

QString ScratchFolder::Prepare(const QString &wanted)
{
    QString why;
    if (Ensure(wanted, &why))
        return wanted;
    const QString perUser = wanted + QLatin1Char('-') + QString::number(::geteuid());
    QString chosen;
    if (Ensure(perUser)) {
        chosen = perUser;
    } else {
        QByteArray pattern = QFile::encodeName(perUser) + "-XXXXXX";
        if (::mkdtemp(pattern.data()))
            chosen = QFile::decodeName(pattern);
    }
    if (chosen.isEmpty()) {
        std::fprintf(stderr, "velloscan: %s is not a private folder of this user (%s), and no other could be made\n",
                     qUtf8Printable(wanted), qUtf8Printable(why));
        // Jobs try to make it again, and refuse to scan while that fails.
        return perUser;
    }
    std::fprintf(stderr, "velloscan: %s is not a private folder of this user (%s); using %s instead\n",
                 qUtf8Printable(wanted), qUtf8Printable(why), qUtf8Printable(chosen));
    return chosen;
}

void ClearDirectory(const QString &path)
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

void RemoveFiles(const QString &dir)
{
    const QFileInfoList entries = QDir(dir).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink() || entry.isFile())
            QFile::remove(entry.filePath());
    }
}
