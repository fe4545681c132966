#include "publish/eventqueue.h"

#include <algorithm>

void EventQueue::add(const QDateTime &time, const QString &text)
{
    m_events.push_back({time, text, 0});
    if (qsizetype(m_events.size()) <= maxKept)
        return;
    // In flight or not: an answer for it later finds nothing.
    m_events.pop_front();
    ++m_dropped;
    m_droppedAt = time;
}

EventQueue::Event *EventQueue::nextUnsent()
{
    if (m_dropped > 0 && m_notice.messageId == 0) {
        m_noticeCount = m_dropped;
        m_notice = {m_droppedAt,
                    QStringLiteral("%1 older messages were dropped while the broker was away")
                        .arg(m_dropped),
                    0};
        return &m_notice;
    }
    const auto unsent = std::find_if(m_events.begin(), m_events.end(),
                                     [](const Event &event) { return event.messageId == 0; });
    return unsent == m_events.end() ? nullptr : &*unsent;
}

bool EventQueue::answered(int messageId)
{
    if (messageId == 0) // an id of something never sent
        return false;
    if (m_notice.messageId == messageId) {
        m_dropped -= m_noticeCount;
        m_notice = {};
        return true;
    }
    const auto found = std::find_if(m_events.begin(), m_events.end(), [&](const Event &event) {
        return event.messageId == messageId;
    });
    if (found == m_events.end())
        return false;
    m_events.erase(found);
    return true;
}

void EventQueue::forgetSent()
{
    for (Event &event : m_events)
        event.messageId = 0;
    m_notice.messageId = 0;
}

void EventQueue::clear()
{
    m_events.clear();
    m_dropped = 0;
    m_notice = {};
}
