#pragma once

class QObject;
class QString;

// What screen readers need, beyond the notification that appears inside the
// status line, to speak an event message as it is shown. One source file
// per platform.
void announceMessage(QObject *statusLine, const QString &text);
