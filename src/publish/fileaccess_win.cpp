#include "publish/fileaccess.h"

#include <QFile>
#include <QScopeGuard>

#include <aclapi.h>
#include <io.h>
#include <windows.h>

namespace {

HANDLE nativeHandle(const QFile &file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
}

// Whether the access list lets the group read: its entries in their order,
// the first that names the group and reading decides.
bool groupMayRead(PACL dacl, WELL_KNOWN_SID_TYPE group)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    if (!CreateWellKnownSid(group, nullptr, sid, &sidSize))
        return false;
    constexpr ACCESS_MASK reading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER *header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&header)) ||
            (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
            if (EqualSid(&ace->SidStart, sid) && (ace->Mask & reading))
                return true;
        } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            auto *ace = reinterpret_cast<ACCESS_DENIED_ACE *>(header);
            if (EqualSid(&ace->SidStart, sid) && (ace->Mask & reading))
                return false;
        }
    }
    return false;
}

} // namespace

bool FileAccess::othersMayRead(const QString &path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(reinterpret_cast<const wchar_t *>(path.utf16()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor) != ERROR_SUCCESS)
        return false;
    const auto freeDescriptor = qScopeGuard([descriptor] { LocalFree(descriptor); });
    if (!dacl)
        return true; // no access list at all: anybody may
    // Every user is in one of these: a folder outside the profile usually
    // grants Users or Authenticated Users, not only Everyone.
    for (WELL_KNOWN_SID_TYPE group :
         {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid, WinInteractiveSid})
        if (groupMayRead(dacl, group))
            return true;
    return false;
}

bool FileAccess::syncToDisk(const QString &path)
{
    // FlushFileBuffers needs a handle that may write.
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append) &&
           FlushFileBuffers(nativeHandle(file));
}

bool FileAccess::isSameFile(const QFile &open, const QString &path)
{
    QFile named(path);
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return named.open(QIODevice::ReadOnly) && GetFileInformationByHandle(nativeHandle(open), &a) &&
           GetFileInformationByHandle(nativeHandle(named), &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}
