#pragma once

#include <QByteArray>

// The device's end of a null-modem pair of COM ports, which the script that
// runs these tests under Wine makes from two linked pseudo-terminals: what
// the test writes here arrives at the port Tarnel reads. The script also
// makes the pair vanish and come back when asked, as an unplugged adapter.
class DevicePort
{
public:
    DevicePort() = default;
    ~DevicePort();
    DevicePort(const DevicePort &) = delete;
    DevicePort &operator=(const DevicePort &) = delete;

    bool open(int portNumber);
    void close();
    // Writes in small pieces, running the event loop in between, so that
    // the reader on this same thread keeps up.
    bool write(const QByteArray &bytes);

    // Throws away what was sent to a port and not read there.
    static bool discardUnread(int portNumber);

    // Both ports go away, then come back under the same names.
    static bool vanish();
    static bool comeBack();

private:
    void *m_handle = nullptr;
};
