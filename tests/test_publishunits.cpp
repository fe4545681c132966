// The publisher's parts without a broker: the log read back in pieces, the
// window of messages out, the events kept while the broker is away, and the
// broker's answers in words.
#include "support/files.h"

#include "publish/brokeranswers.h"
#include "publish/eventqueue.h"
#include "publish/inflightwindow.h"
#include "publish/logtail.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <mosquitto.h>
#include <optional>

// The log read back as the broker gets it: lines without their CR LF, longer
// ones in pieces, each with its position; and at most a window of them out.
TEST(Publishing, LinesPiecesAndTheWindowOfMessagesOut)
{
    const struct Case
    {
        QByteArray log;
        qsizetype piece;
        QStringList expected; // position:text
    } cases[] = {
        {"a,b\r\n\r\nhalf", 8, {"0:a,b", "5:"}}, // an unfinished line waits
        {"abcdefgh\r\nabcdefghi\r\n", 8, {"0:abcdefgh", "10:abcdefgh", "18:i"}},
        {"abc\rdefg\r\n", 4, {"0:abc", "3:\rdef", "7:g"}}, // no piece ends in a CR
        {"ab\r\r\r\r\n", 2, {"0:ab", "2:\r", "3:\r\r"}},
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.log.toStdString());
        writeFile(path, c.log);
        LogTail tail;
        ASSERT_TRUE(tail.open(path, 0));
        tail.setPieceBytes(c.piece);
        QStringList got;
        while (const auto line = tail.next())
            got << QString::number(line->position) + u':' + QString::fromLatin1(line->text);
        EXPECT_EQ(got, c.expected);
    }

    InFlightWindow window;
    int sent = 0;
    for (; window.hasRoom() && sent < 1000; ++sent)
        window.sent({sent * 12, "line", sent * 12 + 12}, sent + 1);
    EXPECT_EQ(sent, InFlightWindow::maxMessages);
    window.clear();
    window.sent({0, QByteArray(InFlightWindow::maxBytes, 'x'), 0}, 1);
    EXPECT_FALSE(window.hasRoom());
    // The cursor passes only what has nothing unanswered before it.
    window.clear();
    window.sent({0, "a", 3}, 1);
    window.sent({3, "b", 6}, 2);
    window.answer(2);
    EXPECT_EQ(window.advance(0), 0);
    window.answer(1);
    EXPECT_EQ(window.advance(0), 6);

    // Events while the broker is away: the oldest dropped first, their count
    // told ahead of the rest, and what was in flight sent again after a loss.
    EventQueue events;
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < EventQueue::maxKept + 5; ++i)
        events.add(now, QString::number(i));
    EventQueue::Event *next = events.nextUnsent();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->text, "5 older messages were dropped while the broker was away");
    next->messageId = 1;
    events.add(now, QStringLiteral("last"));
    next = events.nextUnsent();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->text, "6");
    next->messageId = 2;
    events.forgetSent();
    EXPECT_EQ(events.nextUnsent()->text, "6 older messages were dropped while the broker was away");
    events.nextUnsent()->messageId = 3;
    EXPECT_TRUE(events.answered(3));
    EXPECT_FALSE(events.answered(1)); // of an earlier connection
    EXPECT_EQ(events.nextUnsent()->text, "6");
    EXPECT_EQ(events.unanswered(), EventQueue::maxKept);
}

// The broker's answers in the messages' words, also those no test broker
// here gives: a take-over (Mosquitto 2.0 just closes), Windows' refusal.
TEST(Publishing, BrokerAnswersInTheirOwnWords)
{
    const struct Case
    {
        std::optional<int> reasonCode; // else the library's error with errno
        int libraryError;
        int error;
        const char *expected;
    } cases[] = {
        {0x8E, 0, 0, "another client took over this id: Session taken over (0x8e)"},
        {0x87, 0, 0, "not authorised: Not authorized (0x87)"},
        {5, 0, 0, "not authorised"}, // MQTT 3.1.1's CONNACK
        {0x9B, 0, 0, "QoS 1 not supported: QoS not supported (0x9b)"},
        {0x97, 0, 0, "refused: Quota exceeded (0x97)"},
        {{}, MOSQ_ERR_KEEPALIVE, 0, "no answer"},
        {{}, MOSQ_ERR_TLS, 0, "certificate"},
        {{}, MOSQ_ERR_ERRNO, ECONNREFUSED, "refused: Connection refused"},
        {{}, MOSQ_ERR_ERRNO, 10061, "refused"}, // WSAECONNREFUSED, as errno on Windows
        {{}, MOSQ_ERR_ERRNO, ETIMEDOUT, "unreachable: Connection timed out"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        const BrokerFailure failure = c.reasonCode
                                          ? BrokerAnswers::forReasonCode(*c.reasonCode)
                                          : BrokerAnswers::forLibraryError(c.libraryError, c.error);
        const QString text = c.reasonCode
                                 ? BrokerAnswers::reasonCodeText(*c.reasonCode)
                                 : BrokerAnswers::libraryErrorText(c.libraryError, c.error);
        const QString said = BrokerAnswers::reasonText(failure) + QStringLiteral(": ") + text;
        EXPECT_TRUE(said.startsWith(QString::fromUtf8(c.expected))) << said.toStdString();
    }
}
