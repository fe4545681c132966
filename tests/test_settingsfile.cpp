// The settings file: what is restored from hand-written files, and what is written.
#include "settings/settingsfile.h"
#include "support/files.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QString defaultLog = QStringLiteral("/prog/log.csv");

struct Fields
{
    QString port, delimiter, logFile;
    int timeMark, overwrite;
};

void expectFields(const WindowFields &f, const Fields &e)
{
    EXPECT_EQ(f.port, e.port);
    EXPECT_EQ(f.delimiter, e.delimiter);
    EXPECT_EQ(f.logFile, e.logFile);
    EXPECT_EQ(f.timeMark, e.timeMark);
    EXPECT_EQ(f.overwrite, e.overwrite);
}

TEST(SettingsFile, HandWrittenFilesRestoreByTheRules)
{
    const QList<std::pair<QByteArray, Fields>> cases{
        {"5\r\n|\r\n/data/a.csv\r\n 1\r\n 1\r\n", {"5", "|", "/data/a.csv", 1, 1}},
        {"12\r\n;\r\nx\r\n 0\r\n 0\r\n", {"1", ";", "x", 0, 0}},
        {"03\r\n;\r\nx\r\n\r\n\r\n", {"3", ";", "x", 0, 0}},
        {"2.50\r\n;\r\nx\r\n\r\n\r\n", {"2.5", ";", "x", 0, 0}},
        {"0\r\n;\r\nx\r\n\r\n\r\n", {"1", ";", "x", 0, 0}},
        {"10\r\n;\r\nx\r\n\r\n\r\n", {"1", ";", "x", 0, 0}},
        {"9.99\r\n;\r\nx\r\n\r\n\r\n", {"9.99", ";", "x", 0, 0}},
        {"&H7\r\n;\r\nx\r\n\r\n\r\n", {"7", ";", "x", 0, 0}},
        {"0.00001\r\n;\r\nx\r\n\r\n\r\n", {"1E-05", ";", "x", 0, 0}},
        {"\r\n\r\n\r\n\r\n\r\n", {"1", ";", defaultLog, 0, 0}},
        {"1\r\n \r\nx\r\n\r\n\r\n",
         {"1", "", "x", 0, 0}}, // a blank-only line 2 empties the delimiter
        {"1\r\n |x \r\nx\r\n\r\n\r\n", {"1", "|", "x", 0, 0}},
        {"1\r\n\t\r\nx\r\n\r\n\r\n", {"1", "\t", "x", 0, 0}}, // tabs are no blanks
        {"1\r\n;\r\n   \r\n\r\n\r\n", {"1", ";", "", 0, 0}}, // a blank-only line 3 empties the path
        {"1\r\n;\r\n  /a b.csv  \r\n\r\n\r\n", {"1", ";", "/a b.csv", 0, 0}},
        {"1\r\n;\r\nx\r\n1.5\r\n0.5\r\n", {"1", ";", "x", 2, 0}}, // halves to even
        {"1\r\n;\r\nx\r\n 2\r\n 0\r\n", {"1", ";", "x", 0, 0}},
        {"1\r\n;\r\nx\r\n 1.49\r\n 0.51\r\n", {"1", ";", "x", 1, 1}},
        {"1\r\n;\r\nx\r\n-1\r\n1 \r\n", {"1", ";", "x", 0, 1}},
        // Missing lines leave the fields, and a missing line 3 gives the default path.
        {"", {"1", ";", defaultLog, 0, 0}},
        {"4", {"4", ";", defaultLog, 0, 0}},
        // Just under 10, so taken, and shown as its number text (which the
        // next start will not take).
        {"9.99999999999999911", {"10", ";", defaultLog, 0, 0}},
        {"4\r\n,\r\n", {"4", ",", defaultLog, 0, 0}},
        {"4\r\n,\r\n/x\r\n 1", {"4", ",", "/x", 1, 0}},
        // Lines ending in LF or CR alone, as editors on other systems write them.
        {"6\n#\n/lf.csv\n 1\n 1\n", {"6", "#", "/lf.csv", 1, 1}},
        {"6\r#\r/cr.csv\r 1\r 1\r", {"6", "#", "/cr.csv", 1, 1}},
        {"6\n\r#\n", {"6", ";", "#", 0, 0}},
        // Text in the system's encoding (UTF-8; on Windows the ANSI code page).
        {"1\r\n" + QStringLiteral("§\r\n/d/été.csv\r\n\r\n\r\n").toLocal8Bit(),
         {"1", "§", "/d/été.csv", 0, 0}},
        // Marked as UTF-8, as written when the code page cannot hold a line.
        {"\xEF\xBB\xBF"
         "2\r\n" +
             QStringLiteral("Ж\r\n/Пути/лог.csv\r\n 1\r\n").toUtf8(),
         {"2", "Ж", "/Пути/лог.csv", 1, 0}},
        // Binary junk loads without harm.
        {QByteArray("\0\xff\x01\r\n\x01\r\n", 7), {"1", QString(QChar(1)), defaultLog, 0, 0}},
    };
    for (const auto &[content, expected] : cases) {
        SCOPED_TRACE(content.toStdString());
        WindowFields fields;
        SettingsFile::apply(content, defaultLog, fields);
        expectFields(fields, expected);
    }
}

TEST(SettingsFile, AbsentOrUnreadableFilesGiveTheDefaults)
{
    QTemporaryDir dir;
    const QString path = SettingsFile::path(dir.path());
    EXPECT_EQ(path, dir.path() + "/tarnel.ini");

    WindowFields absent;
    SettingsFile::load(path, defaultLog, absent);
    expectFields(absent, {"1", ";", defaultLog, 0, 0});

    ASSERT_TRUE(QDir(dir.path()).mkdir("tarnel.ini"));
    WindowFields directory;
    SettingsFile::load(path, defaultLog, directory);
    expectFields(directory, {"1", ";", defaultLog, 0, 0});
    ASSERT_TRUE(QDir(dir.path()).rmdir("tarnel.ini"));

    ASSERT_TRUE(writeFile(path, "5\r\n|\r\n/x\r\n 1\r\n 1\r\n"));
    QFile::setPermissions(path, QFileDevice::WriteOwner);
    if (QFile probe(path); !probe.open(QIODevice::ReadOnly)) { // root and Windows read it still
        WindowFields unreadable;
        SettingsFile::load(path, defaultLog, unreadable);
        expectFields(unreadable, {"1", ";", defaultLog, 0, 0});
    }
}

TEST(SettingsFile, SaveWritesTheFiveLinesAndLoadRestoresThem)
{
    QTemporaryDir dir;
    const QString path = SettingsFile::path(dir.path());
    struct Case
    {
        WindowFields saved;
        QByteArray bytes; // empty: not the same on every system
        Fields restored;
    };
    const QList<Case> cases{
        {{"1", ";", "/p/log.csv", 0, 0},
         "1\r\n;\r\n/p/log.csv\r\n 0\r\n 0\r\n",
         {"1", ";", "/p/log.csv", 0, 0}},
        // Port 12 is not taken back, a blank delimiter neither, and the
        // greyed 2 is outside the accepted range.
        {{"  12 ", " ", " a b ", 1, 2}, "12\r\n\r\na b\r\n 1\r\n 2\r\n", {"1", ";", "a b", 1, 0}},
        // In the system's encoding: UTF-8, or the ANSI code page on Windows.
        {{"x", "\t;", "/é", 0, 1},
         "x\r\n\t;\r\n/" + QStringLiteral("é").toLocal8Bit() + "\r\n 0\r\n 1\r\n",
         {"1", "\t", "/é", 0, 1}},
        // A line that begins with U+FEFF keeps it: only the file's first
        // bytes can be the mark.
        {{"1", QString(QChar(0xFEFF)), "/x", 0, 0}, {}, {"1", QString(QChar(0xFEFF)), "/x", 0, 0}},
        // On the first line too, where it begins the file: kept, so no number, no port.
        {{QChar(0xFEFF) + QStringLiteral("5"), ";", "/y", 0, 0}, {}, {"1", ";", "/y", 0, 0}},
        // Characters a Western code page lacks still come back.
        {{"2", "Ж", "/Пути/лог.csv", 1, 0}, {}, {"2", "Ж", "/Пути/лог.csv", 1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.saved.logFile.toStdString());
        ASSERT_TRUE(SettingsFile::save(path, c.saved));
        if (!c.bytes.isEmpty()) {
            EXPECT_EQ(readFile(path), c.bytes);
        }
        WindowFields loaded;
        SettingsFile::load(path, defaultLog, loaded);
        expectFields(loaded, c.restored);
    }
}

} // namespace
