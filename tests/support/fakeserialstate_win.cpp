#include "support/fakeserialstate.h"

#include <QDir>
#include <QString>

#include <windows.h>

struct FakeSerialState::Backing
{
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE mapping = nullptr;
};

FakeSerialState::FakeSerialState() : m_backing(std::make_unique<Backing>())
{
    // A Linux path, as the library in Wine's own process reads it; Wine
    // shows the Linux file system as drive Z:.
    const QString unixPath = qEnvironmentVariable(FakeSerial::environmentVariable);
    if (unixPath.isEmpty())
        return;
    const QString path = QStringLiteral("Z:") + QDir::toNativeSeparators(unixPath);
    Backing &b = *m_backing;
    b.file =
        CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (b.file == INVALID_HANDLE_VALUE)
        return;
    b.mapping = CreateFileMappingW(b.file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    if (b.mapping)
        m_state = static_cast<FakeSerial::State *>(
            MapViewOfFile(b.mapping, FILE_MAP_WRITE, 0, 0, sizeof(FakeSerial::State)));
}

FakeSerialState::~FakeSerialState()
{
    if (m_state)
        UnmapViewOfFile(m_state);
    if (m_backing->mapping)
        CloseHandle(m_backing->mapping);
    if (m_backing->file != INVALID_HANDLE_VALUE)
        CloseHandle(m_backing->file);
}

bool FakeSerialState::isActive() const
{
    return m_state != nullptr;
}
