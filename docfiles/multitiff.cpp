#include "multitiff.h"

#include "pendingfile.h"
#include "tiffappender.h"
#include "tiffcp.h"
#include "tiffhandle.h"

#include <QFile>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>

int combine2multiff(QList<QString> files, QString outTiff, QString compression)
{
    QMutexLocker lock(&assemblyMutex());

    const QByteArray outName = QFile::encodeName(outTiff);
    // An unknown spec is refused before anything is created or read.
    const QByteArray spec = compression.toLocal8Bit();
    if (!processCompressOptions(spec.constData())) {
        TIFFError(outName.constData(), "Unknown compression spec \"%s\"", spec.constData());
        return 1;
    }

    PendingFile pending(outName);
    FileHandle file(pending.open());
    if (!file) {
        TIFFError(outName.constData(), "Cannot create output file: %s", std::strerror(errno));
        return 1;
    }
    TiffAppender out(file.get(), outName);
    if (!out.isOpen())
        return 1;

    bool failed = false;
    for (const QString &path : files) {
        const TiffAppender::Result result = out.append(path);
        if (result == TiffAppender::Appended)
            continue;
        // After an unreadable input the directories completed before it are
        // kept; without one, or when the output itself could not be written
        // (a full disk), nothing is.
        if (result == TiffAppender::OutputFailed || out.directories() == 0) {
            out.abandon();
            return 1;
        }
        if (!out.dropIncomplete())
            return 1;
        failed = true;
        break;
    }
    if (!out.close())
        return 1;
    if (std::fclose(file.release()) != 0 || !pending.commit()) {
        TIFFError(outName.constData(), "Cannot write output file: %s", std::strerror(errno));
        return 1;
    }
    return failed ? 1 : 0;
}
