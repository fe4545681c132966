#pragma once

#include "support/eventloop.h"

#include <QProcess>
#include <QRegularExpression>
#include <sys/resource.h>

// The real tarnel in a child process, keeping its settings in dir.
class Program
{
public:
    Program(const QString &dir, const QStringList &arguments, const QProcessEnvironment &env,
            rlim_t fileSizeLimit = RLIM_INFINITY)
    {
        m_process.setProcessEnvironment(env);
        m_process.setChildProcessModifier([fileSizeLimit] {
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        m_process.start(QStringLiteral(TARNEL_PATH),
                        QStringList{QStringLiteral("--settings-dir"), dir} + arguments);
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    bool waitForError(const QRegularExpression &line, int timeoutMs = 5000)
    {
        return waitUntil([&] { return line.match(error()).hasMatch(); }, timeoutMs);
    }
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    // Waits for the end, after SIGTERM when asked; false on a crash or timeout.
    bool finish(bool terminate)
    {
        if (terminate)
            m_process.terminate();
        const bool ended =
            m_process.state() == QProcess::NotRunning || m_process.waitForFinished(10000);
        return ended && m_process.exitStatus() == QProcess::NormalExit;
    }
    int exitCode() const { return m_process.exitCode(); }
    qint64 pid() const { return m_process.processId(); }
    const QString &error()
    {
        m_error += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_error;
    }
    QString output() { return QString::fromLocal8Bit(m_process.readAllStandardOutput()); }

private:
    QProcess m_process;
    QString m_error;
};

// The environment of a program with no screen.
inline QProcessEnvironment offscreen()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

// A line of standard error as the program writes its messages: the text, or
// what the pattern matches, after the date and time.
inline QRegularExpression messagePattern(const QString &pattern)
{
    return QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ") +
                                  pattern,
                              QRegularExpression::MultilineOption);
}
inline QRegularExpression messageLine(const QString &text)
{
    return messagePattern(QRegularExpression::escape(text) + u'$');
}
