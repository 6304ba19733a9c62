#include "pagenaming.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include <QByteArray>
#include <QFile>

#include <sys/stat.h>

QString PageNaming::Path(int number) const
{
    // Any width past the longest path only makes a name the file system
    // refuses, which the page loop reports; this one stays allocatable.
    const int width = std::clamp(digits, 0, 4096);
    QByteArray text(width + 16, '\0');
    const int length = std::snprintf(text.data(), size_t(text.size()), "%0*d", width, number);
    text.truncate(std::max(length, 0));
    return folder + QLatin1Char('/') + prefix + QString::fromLatin1(text) + QLatin1Char('.') + extension;
}

bool PageNaming::SkipTaken()
{
    auto exists = [](const QByteArray &path) {
        struct stat st;
        return ::lstat(path.constData(), &st) == 0; // a dangling link counts too
    };
    for (;;) {
        const QByteArray path = QFile::encodeName(NextPath());
        const QByteArray part = path + ".part";
        const bool pathTaken = exists(path);
        if (!pathTaken && !exists(part))
            return true;
        if (next == INT_MAX)
            return false;
        std::fprintf(stderr, "velloscan: %s exists; skipping number %d\n", (pathTaken ? path : part).constData(), next);
        ++next;
    }
}
