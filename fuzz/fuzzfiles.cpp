#include "fuzzfiles.h"

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <tiffio.h>
#include <unistd.h>

namespace {

void removeFolder();

const QByteArray &folder()
{
    // Never destroyed: the folder is removed at exit, after static objects are.
    static const QByteArray *path = [] {
        const char *tmp = std::getenv("TMPDIR");
        auto *name = new QByteArray(QByteArray(tmp && *tmp ? tmp : "/tmp") + "/velloscan-fuzz-XXXXXX");
        if (!::mkdtemp(name->data())) {
            std::perror("velloscan fuzz: no private folder");
            std::abort();
        }
        std::atexit(removeFolder);
        return name;
    }();
    return *path;
}

void removeFolder()
{
    FuzzFiles::Clear();
    ::rmdir(folder().constData());
}

} // namespace

void FuzzFiles::SilenceTiff()
{
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
}

QString FuzzFiles::Path(const char *name)
{
    return QFile::decodeName(folder() + '/' + name);
}

QString FuzzFiles::Write(const char *name, const uint8_t *data, size_t size)
{
    const QString path = Path(name);
    std::FILE *f = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::perror("velloscan fuzz: cannot write an input file");
        std::abort();
    }
    return path;
}

void FuzzFiles::Clear()
{
    DIR *dir = ::opendir(folder().constData());
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ::unlink((folder() + '/' + entry->d_name).constData());
    }
    ::closedir(dir);
}
