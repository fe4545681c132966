#include "publish/inflightwindow.h"

#include <algorithm>

bool InFlightWindow::hasRoom() const
{
    return qsizetype(m_messages.size()) < maxMessages && m_bytes < maxBytes;
}

void InFlightWindow::sent(const LogTail::Line &line, int messageId)
{
    insert({line.position, line.end, line.text.size(), messageId, false});
}

void InFlightWindow::skipped(const LogTail::Line &line)
{
    insert({line.position, line.end, 0, 0, true});
}

// In position order: after a reconnect, lines are sent again among the ones
// the broker answered before.
void InFlightWindow::insert(const Message &message)
{
    const auto at = std::upper_bound(
        m_messages.begin(), m_messages.end(), message.position,
        [](qint64 position, const Message &other) { return position < other.position; });
    m_messages.insert(at, message);
    m_bytes += message.bytes;
}

std::optional<InFlightWindow::Message> InFlightWindow::answer(int messageId)
{
    for (Message &message : m_messages) {
        if (!message.answered && message.messageId == messageId) {
            message.answered = true;
            return message;
        }
    }
    return std::nullopt;
}

bool InFlightWindow::isAnswered(qint64 position) const
{
    // Asked for every line sent: found by halves, the messages being in order.
    const auto at = std::lower_bound(
        m_messages.begin(), m_messages.end(), position,
        [](const Message &message, qint64 wanted) { return message.position < wanted; });
    return at != m_messages.end() && at->position == position && at->answered;
}

qint64 InFlightWindow::advance(qint64 cursor)
{
    while (!m_messages.empty() && m_messages.front().answered) {
        cursor = m_messages.front().end;
        m_bytes -= m_messages.front().bytes;
        m_messages.pop_front();
    }
    return cursor;
}

void InFlightWindow::forgetUnanswered()
{
    std::erase_if(m_messages, [this](const Message &message) {
        if (!message.answered)
            m_bytes -= message.bytes;
        return !message.answered;
    });
}

void InFlightWindow::clear()
{
    m_messages.clear();
    m_bytes = 0;
}
