#include "settings/filelocations.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

// Whether this user can create files in the folder, found by trying:
// permissions, read-only mounts and access control lists all count.
bool isWritableFolder(const QString &folder)
{
    QTemporaryFile probe(folder + QStringLiteral("/.tarnel-write-test-XXXXXX"));
    return probe.open(); // and it is removed again at once
}

} // namespace

FileLocations FileLocations::inOneFolder(const QString &folder)
{
    return {folder, QDir::toNativeSeparators(folder + QStringLiteral("/log.csv"))};
}

FileLocations FileLocations::forProgram(const QString &programDir)
{
    // An administrator may write Program Files: an installed copy run once
    // elevated must not start a second set of settings there.
    const bool installed = QFileInfo::exists(programDir + QStringLiteral("/installed.txt"));
    return forProgram(programDir, !installed && isWritableFolder(programDir));
}

FileLocations FileLocations::forProgram(const QString &programDir, bool programDirWritable)
{
    if (programDirWritable)
        return inOneFolder(programDir);
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           QStringLiteral("/tarnel");
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return {config, QDir::toNativeSeparators(documents + QStringLiteral("/log.csv"))};
}

bool FileLocations::makeConfigDir() const
{
    return QDir().mkpath(configDir);
}

bool FileLocations::makeDefaultLogDir() const
{
    return QFileInfo(defaultLogPath).dir().mkpath(QStringLiteral("."));
}
