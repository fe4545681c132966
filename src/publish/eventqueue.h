#pragma once

#include <QDateTime>
#include <QString>

#include <deque>

// The messages the window showed, with their times, waiting for the broker's
// events topic: in order, each kept until the broker has answered for it.
// While the broker is away at most maxKept wait; the oldest go first, and
// their number is told by a message of its own ahead of the rest.
class EventQueue
{
public:
    static constexpr qsizetype maxKept = 1000;

    struct Event
    {
        QDateTime time;
        QString text;
        int messageId = 0; // once sent
    };

    void add(const QDateTime &time, const QString &text);
    // The oldest not sent yet.
    Event *nextUnsent();
    // False when the message was not one of these.
    bool answered(int messageId);
    // The connection was lost: what it did not answer goes again.
    void forgetSent();
    // What never reached the broker, the count of dropped ones included.
    qsizetype unanswered() const { return qsizetype(m_events.size()) + m_dropped; }
    void clear();

private:
    std::deque<Event> m_events;
    qsizetype m_dropped = 0; // not yet told of
    QDateTime m_droppedAt;
    Event m_notice; // telling of m_noticeCount dropped ones
    qsizetype m_noticeCount = 0;
};
