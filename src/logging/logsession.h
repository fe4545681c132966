#pragma once

#include "capture/lineassembler.h"
#include "logging/logfile.h"
#include "publish/publishsettings.h"

#include <QString>
#include <optional>

class Publisher;
class SerialPort;

// Start and Stop of logging: the port and the log file open and close
// together, and received bytes become lines in the file.
class LogSession
{
public:
    struct StartRequest
    {
        QString portText;
        QString fileText;
        bool overwrite = false;
        QString delimiterText;
        // A port that cannot be opened yet is tried again once a second
        // instead of failing (a start with nobody at the keyboard).
        bool waitForPort = false;
        // Where the lines are also published, if anywhere.
        std::optional<PublishSettings> publish;
    };
    // WaitingForPort: logging has started, the port opens when it can.
    enum class StartResult { Started, WaitingForPort, DelimiterRefused, PortFailed, FileFailed };

    struct ReceiveResult
    {
        bool hasLines = false;
        QByteArray lastLine;
        bool writeFailed = false; // logging has then stopped, publishing not yet
        // Much has arrived since Start or the last line end without a CR LF:
        // the device probably ends its lines otherwise. Raised once per stretch.
        bool noLineEnd = false;
    };

    // How much may arrive without a CR LF before noLineEnd is raised.
    static constexpr qsizetype noLineEndHintBytes = 64 * 1024;

    explicit LogSession(SerialPort &port, Publisher *publisher = nullptr)
        : m_port(port), m_publisher(publisher)
    {
    }

    // Checks the delimiter, opens the port, then the log file. On failure
    // nothing is left open.
    StartResult start(const StartRequest &request);
    void stop();
    bool isLogging() const { return m_file.isOpen(); }
    // Opens the log file again by its name, a new one if it was renamed
    // away (a rotation); false, and logging stopped, when it cannot be.
    // Publishing goes on until stop(): what tells of the failure may still
    // be published.
    bool reopenLog();

    ReceiveResult receive(QByteArrayView bytes, bool timeMarks);
    // The device went away: the line it left unfinished is written as a
    // line of its own, so that the next connection's first line is whole.
    ReceiveResult endPartialLine(bool timeMarks);

    // The port and log file texts as they were when logging started.
    const QString &portText() const { return m_portText; }
    const QString &fileText() const { return m_fileText; }
    const LineAssembler &assembler() const { return m_assembler; }
    // What the last start has to tell about publishing.
    const QStringList &publishNotes() const { return m_publishNotes; }

    // The delimiter as bytes: the first character of the text, or nothing
    // for an empty text; no value when the code page cannot write it.
    static std::optional<QByteArray> delimiterBytes(const QString &delimiterText);

private:
    bool checkLineEnds(QByteArrayView received, bool hadLineEnd);
    void closePortAndFile();
    void startPublishing(const StartRequest &request, qint64 unpublished);

    SerialPort &m_port;
    Publisher *m_publisher = nullptr;
    QStringList m_publishNotes;
    LogFile m_file;
    LineAssembler m_assembler;
    QString m_portText;
    QString m_fileText;
    QByteArray m_pending; // rendered output, reused between notifications
    qsizetype m_bytesWithoutLineEnd = 0;
    bool m_noLineEndReported = false;
};
