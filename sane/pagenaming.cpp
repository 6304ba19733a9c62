#include "pagenaming.h"

#include <algorithm>
#include <cstdio>

#include <QByteArray>

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
