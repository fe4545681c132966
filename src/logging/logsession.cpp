#include "logging/logsession.h"

#include "capture/serialport.h"
#include "publish/cursorfile.h"
#include "publish/publisher.h"
#include "settings/codepage.h"
#include "settings/textnumbers.h"

LogSession::StartResult LogSession::start(const StartRequest &request)
{
    const auto delimiter = delimiterBytes(request.delimiterText);
    if (!delimiter)
        return StartResult::DelimiterRefused;
    const auto portNumber = TextNumbers::portNumber(request.portText);
    if (!portNumber || !m_port.setPortNumber(*portNumber))
        return StartResult::PortFailed;
    const bool portOpen = request.waitForPort ? m_port.openOrRetry() : m_port.open();
    if (!portOpen && !request.waitForPort)
        return StartResult::PortFailed;

    // What an overwrite takes away before the broker had it.
    const qint64 unpublished =
        request.overwrite && request.publish ? CursorFile(request.fileText).bytesWaiting() : 0;
    const auto mode = request.overwrite ? LogFile::Mode::Overwrite : LogFile::Mode::Append;
    if (!m_file.open(request.fileText, mode)) {
        // Leave nothing half open: the next Start must find the port free.
        m_port.close();
        return StartResult::FileFailed;
    }
    m_portText = request.portText;
    m_fileText = request.fileText;
    m_bytesWithoutLineEnd = 0;
    m_noLineEndReported = false;
    m_assembler.setDelimiter(*delimiter);
    startPublishing(request, unpublished);
    return portOpen ? StartResult::Started : StartResult::WaitingForPort;
}

void LogSession::startPublishing(const StartRequest &request, qint64 unpublished)
{
    m_publishNotes.clear();
    if (!m_publisher || !request.publish)
        return;
    if (unpublished > 0)
        m_publishNotes << QStringLiteral(
                              "Log file overwritten: %1 bytes of it had not been published")
                              .arg(unpublished);
    m_publishNotes << m_publisher->start(*request.publish, request.fileText, request.overwrite);
}

void LogSession::stop()
{
    if (m_publisher)
        m_publisher->stop();
    closePortAndFile();
}

void LogSession::closePortAndFile()
{
    m_port.close();
    m_file.close();
}

bool LogSession::reopenLog()
{
    if (!m_file.isOpen())
        return true;
    if (!m_file.reopen()) {
        closePortAndFile();
        return false;
    }
    if (m_publisher)
        m_publisher->logReopened();
    return true;
}

LogSession::ReceiveResult LogSession::receive(QByteArrayView bytes, bool timeMarks)
{
    ReceiveResult result;
    if (!m_file.isOpen())
        return result;
    m_pending.resize(0); // keeps the allocation
    const auto lines = m_assembler.append(bytes, timeMarks, m_pending);
    result.hasLines = lines.hasLines;
    result.lastLine = lines.lastLine;
    result.noLineEnd = checkLineEnds(bytes, lines.hasLines);
    if (!m_file.write(m_pending)) {
        closePortAndFile();
        result.writeFailed = true;
    } else if (m_publisher && !m_pending.isEmpty()) {
        m_publisher->logWritten(bytes.size(), m_pending.size());
    }
    if (m_pending.capacity() > (1 << 20))
        m_pending = QByteArray(); // a huge burst must not pin its memory
    return result;
}

LogSession::ReceiveResult LogSession::endPartialLine(bool timeMarks)
{
    if (m_assembler.pending().isEmpty() && !m_assembler.isStreaming())
        return {};
    // A CR the device sent last began the line end it could not finish.
    return receive(m_assembler.pending().endsWith('\r') ? "\n" : "\r\n", timeMarks);
}

bool LogSession::checkLineEnds(QByteArrayView received, bool hadLineEnd)
{
    if (hadLineEnd) {
        // Only what followed the last line end counts from here on, and it
        // may be enough already. Without a CR LF in this read, the line end
        // is a CR that ended the read before and this read's first byte.
        m_bytesWithoutLineEnd = received.size() - (received.lastIndexOf("\r\n") + 2);
        m_noLineEndReported = false;
    } else {
        m_bytesWithoutLineEnd += received.size();
    }
    if (m_noLineEndReported || m_bytesWithoutLineEnd < noLineEndHintBytes)
        return false;
    m_noLineEndReported = true;
    return true;
}

std::optional<QByteArray> LogSession::delimiterBytes(const QString &delimiterText)
{
    return CodePage::delimiterBytes(TextNumbers::firstCharacter(delimiterText));
}
