#pragma once

#include "publish/logtail.h"

#include <deque>
#include <optional>

// The messages sent to the broker that the cursor has not passed yet, in
// the log's order: at most a window of them at a time, so that memory does
// not grow with an outage. A message the broker has answered for
// (acknowledged, or refused for itself) is never sent again, also after a
// reconnect, while those still unanswered are.
class InFlightWindow
{
public:
    static constexpr qsizetype maxMessages = 256;
    static constexpr qint64 maxBytes = 1 << 20;

    struct Message
    {
        qint64 position = 0;
        qint64 end = 0; // of its line: where the cursor may go once it is answered
        qint64 bytes = 0;
        int messageId = 0;
        bool answered = false;
    };

    bool hasRoom() const;
    bool isEmpty() const { return m_messages.empty(); }
    // The line has gone out under this id.
    void sent(const LogTail::Line &line, int messageId);
    // The line needs no sending: the broker cannot take it.
    void skipped(const LogTail::Line &line);
    // The broker's answer for the message, if it is one of these.
    std::optional<Message> answer(int messageId);
    // Whether the broker already answered for the line at this position.
    bool isAnswered(qint64 position) const;
    // The cursor past every answered line that has none unanswered before it.
    qint64 advance(qint64 cursor);
    // The connection is gone: what it did not answer is sent again.
    void forgetUnanswered();
    void clear();

private:
    void insert(const Message &message);

    std::deque<Message> m_messages;
    qint64 m_bytes = 0;
};
