#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

// The operating system's side of one serial port: which device a port
// number selects, the device's own line settings, opening it for reading,
// and what it reports. One source file per platform implements it; the
// reconnecting and everything above it are shared (SerialPort).
class SerialDevice : public QObject
{
    Q_OBJECT

public:
    enum class Settings {
        Capture, // read the device's line settings now and keep them
        Reuse    // the ones kept at the last capture (a reconnect)
    };

    // The device port N opens; portDir holds the com<N> links where the
    // platform has them. Empty for numbers that select nothing.
    static QString pathForPort(int portNumber, const QString &portDir);

    explicit SerialDevice(QObject *parent = nullptr);
    ~SerialDevice() override;

    enum class OpenResult {
        Opened,
        // Open, but the carrier it watches is down: no working line yet;
        // carrierDetected() follows when it comes up.
        AwaitingCarrier,
        Missing, // not there (yet): no such device, or a link to one that has gone
        Refused  // there, but busy or not ours to open, or no serial device
    };

    // Opens the device with its line settings, for reading only in effect:
    // nothing is ever sent.
    OpenResult open(const QString &path, Settings settings);
    void close();
    bool isOpen() const;

    // Every byte received since the last call, in arrival order.
    QByteArray readAll();

signals:
    void received();
    // A line state change or a line error, as an event code.
    void lineEvent(int code);
    // The device went away (unplugged, other side closed); it is closed now.
    void lost();
    void carrierDetected();

private:
    struct Native; // the platform's own state and helpers
    std::unique_ptr<Native> m_native;
};
