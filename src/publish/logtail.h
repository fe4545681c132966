#pragma once

#include <QByteArray>
#include <QFile>
#include <memory>
#include <optional>

// Reads the log's lines from a position on, as they are written: the lines
// to publish come from the file, never from memory, so an outage of any
// length costs no memory.
class LogTail
{
public:
    struct Line
    {
        qint64 position = 0; // of its first byte in the log
        QByteArray text;     // without its CR LF
        qint64 end = 0;      // where the next line starts
    };

    // Longer lines go out in pieces of this size, each with its position,
    // unless the broker takes only smaller ones.
    static constexpr qsizetype maxPieceBytes = 256 * 1024;

    bool open(const QString &logPath, qint64 position);
    // A file opened before, whatever its name is now.
    void open(std::unique_ptr<QFile> file, qint64 position);
    // The log's file by its name, for open(): false when it cannot be read.
    static std::unique_ptr<QFile> openFile(const QString &logPath);
    void close();
    // The next whole line, if the file has one yet.
    std::optional<Line> next();
    // What is left after the last whole line, as a piece of its own: the
    // end of a file nothing will be added to.
    std::optional<Line> rest();
    // Where the next line starts.
    qint64 position() const { return m_position; }
    void seek(qint64 position);
    void setPieceBytes(qsizetype bytes);
    qsizetype pieceBytes() const { return m_pieceBytes; }
    // The file's size now; a system call.
    qint64 size() const { return m_file->size(); }
    // The file is now shorter than what has been read of it.
    bool wasShortened() const;
    const QFile &file() const { return *m_file; }

private:
    bool fill();
    Line take(qsizetype length, qsizetype lineEnd);
    qsizetype unread() const { return m_buffer.size() - m_taken; }

    std::unique_ptr<QFile> m_file = std::make_unique<QFile>();
    QByteArray m_buffer; // read from the file; what is past m_taken starts at m_position
    qsizetype m_taken = 0;
    qint64 m_position = 0;
    qsizetype m_pieceBytes = maxPieceBytes;
};
