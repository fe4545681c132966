#include "windows/deviceport.h"

#include "support/eventloop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QString>

#include <windows.h>

namespace {

constexpr qsizetype piece = 512;

// Asks the script to act on the pair: a request file it removes when done.
bool request(const char *what)
{
    const QString dir = qEnvironmentVariable("TARNEL_DEVICE_CONTROL");
    if (dir.isEmpty())
        return false;
    const QString file =
        QStringLiteral("Z:") + QDir::toNativeSeparators(dir) + u'\\' + QLatin1String(what);
    QFile requestFile(file);
    if (!requestFile.open(QIODevice::WriteOnly))
        return false;
    requestFile.close();
    return waitUntil([&] { return !QFile::exists(file); }, 10000);
}

HANDLE openPort(int portNumber)
{
    const QString path = QStringLiteral("\\\\.\\COM%1").arg(portNumber);
    return CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()),
                       GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

} // namespace

DevicePort::~DevicePort()
{
    close();
}

bool DevicePort::open(int portNumber)
{
    close();
    HANDLE handle = openPort(portNumber);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    m_handle = handle;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle, &dcb);
    dcb.fBinary = TRUE; // every byte as it is, no XON/XOFF
    dcb.fOutX = dcb.fInX = dcb.fNull = dcb.fErrorChar = FALSE;
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 100}; // a blocked write gives up after 100 ms
    return SetCommState(handle, &dcb) && SetCommTimeouts(handle, &timeouts);
}

void DevicePort::close()
{
    if (m_handle)
        CloseHandle(m_handle);
    m_handle = nullptr;
}

bool DevicePort::write(const QByteArray &bytes)
{
    QDeadlineTimer stuck(10000);
    for (qsizetype done = 0; done < bytes.size();) {
        DWORD written = 0;
        const DWORD n = DWORD(qMin(piece, bytes.size() - done));
        if (!WriteFile(m_handle, bytes.constData() + done, n, &written, nullptr))
            return false;
        if (written > 0)
            stuck.setRemainingTime(10000);
        else if (stuck.hasExpired())
            return false;
        done += qsizetype(written);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

bool DevicePort::discardUnread(int portNumber)
{
    HANDLE handle = openPort(portNumber);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool purged = PurgeComm(handle, PURGE_RXCLEAR);
    CloseHandle(handle);
    return purged;
}

bool DevicePort::vanish()
{
    return request("vanish");
}

bool DevicePort::comeBack()
{
    return request("return");
}
