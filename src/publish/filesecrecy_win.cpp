#include "publish/publishsettings.h"

#include <QFileInfo>

// Qt reads the file's access list only while this is raised.
extern Q_CORE_EXPORT int qt_ntfs_permission_lookup;

bool othersMayRead(const QString &path)
{
    ++qt_ntfs_permission_lookup;
    // ReadOther: the Everyone group may read it.
    const bool readable = QFileInfo(path).permission(QFileDevice::ReadOther);
    --qt_ntfs_permission_lookup;
    return readable;
}
