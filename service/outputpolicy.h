#ifndef VELLOSCAN_OUTPUTPOLICY_H
#define VELLOSCAN_OUTPUTPOLICY_H

#include "scansettings.h"

#include <QString>
#include <QStringList>

// Where a page may have files written. The page names the output folder and
// the file prefix; both reach the C library, where a NUL would cut the name
// short and a ".." would lead elsewhere, so a page could make the service
// write over any file of the user.
namespace OutputPolicy {

// `path` with ".." and links resolved as far as it exists; the part that
// does not exist yet is added cleaned.
QString Resolved(const QString &path);

// Why the output of `config` may not be used ("" when it may): a NUL in the
// folder or the prefix, a ".." component in the prefix, a prefix that leads
// out of the folder (a linked subfolder included), or, when `allowed` is not
// empty, a folder that lies in none of the allowed folders.
QString Refusal(const SysConfig &config, const QStringList &allowed);

} // namespace OutputPolicy

#endif
