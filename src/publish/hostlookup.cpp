#include "publish/hostlookup.h"

#include <QTimer>

namespace {

// How often a lookup under way is asked whether it is done.
constexpr int pollMs = 20;

} // namespace

HostLookup::HostLookup(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_timer->setInterval(pollMs);
    connect(m_timer, &QTimer::timeout, this, &HostLookup::check);
}

HostLookup::~HostLookup()
{
    cancel();
}
