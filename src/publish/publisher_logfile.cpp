// The publisher's side of the log file: reading it, noticing that it was
// shortened or rotated, and the cursor kept beside it.
#include "publish/cursorfile.h"
#include "publish/fileaccess.h"
#include "publish/publisher.h"

#include <QThread>

namespace {

// While the port delivers fast, the log's sync would hold its writes up: the
// cursor's save waits for the burst to end, this long at most.
constexpr int busySaveIntervalMs = 30000;

QString shortenedText()
{
    return QStringLiteral("The log file was shortened: publishing it again from its start");
}

} // namespace

std::optional<LogTail::Line> Publisher::nextLine()
{
    if (auto line = m_tail.next())
        return line;
    if (readsRotatedLog()) {
        // Nothing more comes to a log renamed away: its last bytes go as
        // they are, and then the new file takes over.
        if (auto rest = m_tail.rest())
            return rest;
        if (m_window.isEmpty())
            switchToNewLog();
    } else if (m_tail.wasShortened()) { // asked at the end only: it costs a system call
        restartFromBeginning(shortenedText());
    }
    return std::nullopt;
}

// Truncated in place (a rotation by copying, or "> log") while logging: the
// file is now shorter than what has been written to it.
bool Publisher::checkShortened()
{
    if (readsRotatedLog() || m_tail.size() >= m_expectedSize)
        return false;
    restartFromBeginning(shortenedText());
    return true;
}

void Publisher::restartFromBeginning(const QString &why)
{
    emit message(why);
    m_window.clear();
    m_cursor = 0;
    m_generation = CursorFile::newGeneration();
    m_tail.seek(0);
    m_expectedSize = m_tail.size();
    if (m_client->isConnected())
        sendMore();
}

// Each new file is opened at once, and waits its turn: a rotation again
// while an older file is still being published renames it away too.
void Publisher::logReopened()
{
    if (!isPublishing())
        return;
    const QFile &newest = m_nextLogs.empty() ? m_tail.file() : *m_nextLogs.back();
    if (FileAccess::isSameFile(newest, m_logPath))
        return;
    auto file = LogTail::openFile(m_logPath);
    if (!file) {
        emit message(QStringLiteral("Can't publish the log file: can't read ") + m_logPath);
        return;
    }
    m_nextLogs.push_back(std::move(file));
    if (m_client->isConnected())
        sendMore();
}

void Publisher::switchToNewLog()
{
    m_tail.open(std::move(m_nextLogs.front()), 0);
    m_nextLogs.pop_front();
    restartFromBeginning(
        QStringLiteral("The log file was rotated: publishing the new one from its start"));
}

// Now and then, on a thread of its own: the log's sync may take long on a
// busy disk, and a cursor saved before it could point past what a power
// cut leaves of the log.
void Publisher::saveCursor()
{
    if ((m_cursor == m_savedCursor && m_generation == m_savedGeneration) || m_saving)
        return;
    if (!m_loggingBusy.hasExpired() && m_sinceSave.isValid() &&
        m_sinceSave.elapsed() < busySaveIntervalMs)
        return;
    m_sinceSave.start();
    const QString log = m_logPath;
    const qint64 position = m_cursor;
    const QByteArray generation = m_generation;
    auto saved = std::make_shared<bool>(false);
    m_saving = QThread::create([=] {
        *saved = FileAccess::syncToDisk(log) && CursorFile(log).save(position, generation);
    });
    connect(m_saving, &QThread::finished, this, [=, this] {
        if (!isPublishing() || log != m_logPath)
            return; // stopped meanwhile, and saved then
        if (*saved) {
            m_savedCursor = position;
            m_savedGeneration = generation;
        } else if (!m_saveFailed) {
            emit message(QStringLiteral("Can't write the publishing position: ") +
                         CursorFile::pathFor(log));
        }
        m_saveFailed = !*saved;
    });
    connect(m_saving, &QThread::finished, m_saving, &QObject::deleteLater);
    m_saving->start();
}

// At Start and Stop: waited for.
void Publisher::saveCursorNow()
{
    if (m_saving)
        m_saving->wait();
    if (FileAccess::syncToDisk(m_logPath) && CursorFile(m_logPath).save(m_cursor, m_generation)) {
        m_savedCursor = m_cursor;
        m_savedGeneration = m_generation;
    }
}
