#include "outputpolicy.h"

#include <QDir>
#include <QFileInfo>

namespace {

bool inside(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

} // namespace

QString OutputPolicy::Resolved(const QString &path)
{
    QString existing = QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::rootPath() + path);
    QString rest;
    while (!QFileInfo::exists(existing) && existing != QDir::rootPath()) {
        const int cut = existing.lastIndexOf(QLatin1Char('/'));
        rest = existing.mid(cut) + rest;
        existing = cut > 0 ? existing.left(cut) : QDir::rootPath();
    }
    const QString real = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((real.isEmpty() ? existing : real) + rest);
}

QString OutputPolicy::Refusal(const SysConfig &config, const QStringList &allowed)
{
    const QChar nul(0);
    if (config.imgPath.contains(nul) || config.prefix.contains(nul))
        return QStringLiteral("the folder or the prefix holds a NUL");
    if (config.prefix.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return QStringLiteral("the prefix climbs out of the folder");
    const QString folder = Resolved(config.imgPath);
    // The page's own folder part of the prefix, through any link in it.
    const QString page = Resolved(config.imgPath + QLatin1Char('/') + config.prefix + QStringLiteral("0"));
    if (!inside(page, folder) || page == folder)
        return QStringLiteral("the prefix leads out of the folder");
    if (allowed.isEmpty())
        return QString();
    for (const QString &entry : allowed) {
        if (inside(folder, Resolved(entry)))
            return QString();
    }
    return QStringLiteral("the folder is not one of the OutputFolders");
}
