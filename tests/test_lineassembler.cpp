// Line assembly on its own: bytes in, log file bytes out.
#include "capture/lineassembler.h"

#include <QList>
#include <QRandomGenerator>
#include <gtest/gtest.h>

namespace {

// 2026-03-01 23:59:59 UTC in the test's fixed clock.
std::time_t fixedClock()
{
    return 1772409599;
}

QByteArray feed(LineAssembler &assembler, const QList<QByteArray> &pieces, bool timeMarks = false)
{
    QByteArray out;
    for (const QByteArray &piece : pieces)
        assembler.append(piece, timeMarks, out);
    return out;
}

TEST(LineAssembler, CutsCrLfLinesAndReplacesCommas)
{
    struct Case
    {
        const char *name;
        QList<QByteArray> pieces;
        QByteArray delimiter;
        QByteArray expected;
        QByteArray pending;
    };
    const QList<Case> cases{
        {"one line", {"a,b,c\r\n"}, ";", "a;b;c\r\n", ""},
        {"split line", {"a,", "b", ",c\r", "\n"}, ";", "a;b;c\r\n", ""},
        {"CR and LF in separate pieces", {"x\r", "\ny\r", "\n"}, ";", "x\r\ny\r\n", ""},
        {"several in one piece", {"1\r\n2\r\n3\r\n4"}, ";", "1\r\n2\r\n3\r\n", "4"},
        {"empty lines", {"\r\n\r\n"}, ";", "\r\n\r\n", ""},
        {"lone CR, lone LF and LF CR stay in the line",
         {"a\rb\nc\n\rd\r\n"},
         ";",
         "a\rb\nc\n\rd\r\n",
         ""},
        {"CR CR LF", {"a\r\r\n"}, ";", "a\r\r\n", ""},
        {"LF right after a line end", {"a\r\n\nb\r\n"}, ";", "a\r\n\nb\r\n", ""},
        {"empty delimiter keeps commas", {"a,b\r\n"}, "", "a,b\r\n", ""},
        {"comma as delimiter", {"a,b\r\n"}, ",", "a,b\r\n", ""},
        {"tab delimiter", {"a,b,\r\n"}, "\t", "a\tb\t\r\n", ""},
        {"multi-byte delimiter",
         {",a,,b,\r\n"},
         "\xc2\xa7",
         "\xc2\xa7"
         "a\xc2\xa7\xc2\xa7"
         "b\xc2\xa7\r\n",
         ""},
        {"byte 0 and high bytes",
         {QByteArray("\0,\xff\x80", 4) + "\r\n"},
         ";",
         QByteArray("\0;\xff\x80\r\n", 6),
         ""},
        {"no line end yet", {"abc", "def\r"}, ";", "", "abcdef\r"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LineAssembler assembler;
        assembler.setDelimiter(c.delimiter);
        EXPECT_EQ(feed(assembler, c.pieces), c.expected);
        EXPECT_EQ(assembler.pending(), c.pending);
    }
}

TEST(LineAssembler, ReportsTheLastLineAsEdited)
{
    struct Case
    {
        QList<QByteArray> pieces;
        QByteArray delimiter;
        bool timeMarks;
        bool hasLines;
        QByteArray lastLine; // of the last piece, without the time mark
        qsizetype streamLimit = LineAssembler::defaultStreamLimit;
    };
    const QList<Case> cases{
        {{"a,1\r\nb,2\r\nc"}, ";", false, true, "b;2"},
        {{"a,1\r\nb,2\r\nc"}, ";", true, true, "b;2"},
        {{"x\r", "\nc"}, "", false, true, "x"},
        {{"long,", "er\r\n"}, "::", false, true, "long::er"},
        {{"a\r\n", "\r\n"}, ";", false, true, ""},
        {{"a\r\n\r\n"}, ";", true, true, ""},
        {{"\n\r\n"}, ";", false, true, "\n"},
        {{"a\r\n", "d"}, ";", false, false, ""},
        // Streamed lines: shown as they end, by their beginning.
        {{"ab,c", "d\r", "\n"}, ";", true, true, "ab;cd", 2},
        {{"ab,c", "d\r", "\r\ne,f\r\n"}, ";", false, true, "e;f", 2},
        {{QByteArray(5000, ','), "\r\n"},
         "",
         false,
         true,
         QByteArray(LineAssembler::keptHead, ','),
         10},
        {{"ab,c", "d"}, ";", false, false, "", 2},
    };
    for (const Case &c : cases) {
        LineAssembler assembler(&TimeMark::systemClock, c.streamLimit);
        assembler.setDelimiter(c.delimiter);
        QByteArray out;
        LineAssembler::Result result;
        for (const QByteArray &piece : c.pieces)
            result = assembler.append(piece, c.timeMarks, out);
        EXPECT_EQ(result.hasLines, c.hasLines) << c.pieces.join('|').toStdString();
        EXPECT_EQ(result.lastLine, c.lastLine) << c.pieces.join('|').toStdString();
    }
}

TEST(LineAssembler, TimeMarkIsReadPerLine)
{
    const QByteArray mark = TimeMark::format(fixedClock(), ";");
    ASSERT_FALSE(mark.isEmpty());
    EXPECT_EQ(mark.count(';'), 2);
    EXPECT_TRUE(mark.endsWith(';'));

    LineAssembler assembler(&fixedClock);
    assembler.setDelimiter(";");
    QByteArray out;
    assembler.append("x,1\r\n", true, out);
    assembler.append("y\r\n", false, out);
    assembler.append("\r\n,\r\n\r", true, out);
    assembler.append("\n", true, out);
    EXPECT_EQ(out, mark + "x;1\r\ny\r\n" + mark + "\r\n" + mark + ";\r\n" + mark + "\r\n");

    // An empty delimiter puts date and time side by side.
    LineAssembler bare(&fixedClock);
    out.clear();
    bare.append("a,b\r\n", true, out);
    EXPECT_EQ(out, TimeMark::format(fixedClock(), "") + "a,b\r\n");
}

TEST(LineAssembler, DateAndTimeComeFromOneClockReading)
{
    // Just before midnight the date and the time must belong to the same second.
    static std::time_t now = 0;
    static int readings = 0;
    now = 1772409599;
    auto clock = []() -> std::time_t {
        ++readings;
        return now++;
    };
    TimeMark mark(clock);
    const QByteArray text = mark.current(";");
    EXPECT_EQ(readings, 1);
    EXPECT_EQ(text, TimeMark::format(1772409599, ";"));
}

TEST(LineAssembler, AnySplitAndAnyStreamLimitGiveTheSameFile)
{
    QByteArray stream;
    auto *random = QRandomGenerator::global();
    const char alphabet[] = {'a', ',', '\r', '\n', '\0', '\xff', 'z'};
    for (int i = 0; i < 20000; ++i)
        stream.append(alphabet[random->bounded(int(sizeof alphabet))]);
    stream += QByteArray(3000, ',') + "\r\r\r" + QByteArray(100, 'x') + "\r";

    for (const QByteArray delimiter : {";", "", "<->"}) {
        for (bool timeMarks : {false, true}) {
            LineAssembler whole(&fixedClock);
            whole.setDelimiter(delimiter);
            QByteArray expected = feed(whole, {stream}, timeMarks);
            const QByteArray wholePending = whole.pending().toByteArray();
            expected += feed(whole, {"\r\n"}, timeMarks);
            for (int round = 0; round < 20; ++round) {
                // Small limits stream nearly every line, a CR often held back.
                const qsizetype limit = QList<qsizetype>{0, 1, 7, 500, 1 << 20}[round % 5];
                LineAssembler pieces(&fixedClock, limit);
                pieces.setDelimiter(delimiter);
                QByteArray out;
                for (qsizetype at = 0; at < stream.size();) {
                    const qsizetype n = qMin<qsizetype>(random->bounded(1, round < 5 ? 3 : 700),
                                                        stream.size() - at);
                    pieces.append(QByteArrayView(stream).sliced(at, n), timeMarks, out);
                    at += n;
                }
                if (!pieces.isStreaming()) {
                    ASSERT_EQ(pieces.pending(), wholePending);
                }
                pieces.append("\r\n", timeMarks, out);
                ASSERT_EQ(out, expected) << "round " << round << " delimiter " << delimiter.data();
                ASSERT_FALSE(pieces.isStreaming());
            }
        }
    }
}

TEST(LineAssembler, LongLinesAndLargeReadsHaveNoLimit)
{
    LineAssembler assembler;
    assembler.setDelimiter(";");
    QByteArray line(1'000'000, 'x');
    line[40000] = ',';
    QByteArray out;
    // One line in 4 KB pieces, then a single read of a million bytes.
    for (qsizetype at = 0; at < line.size(); at += 4096)
        assembler.append(QByteArrayView(line).sliced(at, qMin<qsizetype>(4096, line.size() - at)),
                         false, out);
    assembler.append("\r\n" + line + "\r\n", false, out);
    QByteArray edited = line;
    edited[40000] = ';';
    EXPECT_EQ(out, edited + "\r\n" + edited + "\r\n");
}

} // namespace
