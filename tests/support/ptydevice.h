#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A pseudo-terminal standing in for a serial device: its slave side is linked
// as <dir>/com<N>, in raw mode, and the test writes the device's bytes into
// the master side.
class PtyDevice
{
public:
    PtyDevice() = default;
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    struct LineSettings;
    // Opens a new pseudo-terminal and (re)places the link to it, once the
    // settings given are set.
    bool open(const QString &programDir, int portNumber, const LineSettings *settings = nullptr);
    // Writes every byte, waiting while the kernel's queue is full.
    bool write(const QByteArray &bytes);
    // The device goes away with its link, as udev removes a node, unless
    // the link is kept (a bridge that leaves it): the reader sees a hang-up.
    void closeMaster(bool keepLink = false);
    // Another program's terminal: opens pseudo-terminals until one gets the
    // number slavePath names (a number that has gone is handed out again).
    // They are closed in the destructor. False when the number stayed with
    // somebody else.
    bool takeNumber(const QString &slavePath);
    // Bytes written but not yet read by the other side.
    int queued() const;
    // Drops them, as if they had never been sent.
    void discardQueued();

    // The line speed and RTS/CTS handshaking the device is set to, as
    // stty sets them; the kernel keeps any speed as a number.
    struct LineSettings
    {
        unsigned baudRate = 0;
        bool hardwareFlowControl = false;
        bool softwareFlowControl = false;
    };
    bool setLineSettings(const LineSettings &settings);
    LineSettings lineSettings() const;

    QString slavePath() const { return m_slavePath; }
    QString linkPath() const { return m_linkPath; }
    int masterFd() const { return m_master; }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QString m_linkPath;
    QList<int> m_others;
};
