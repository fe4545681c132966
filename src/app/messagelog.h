#pragma once

#include <QString>

#include <cstdio>

// What the window tells the operator (event messages in the status line,
// message box texts) written to a stream, standard error in the program:
// one line each, after the date and the time, so that a service's journal
// or a terminal keeps a record of it.
class MessageLog
{
public:
    explicit MessageLog(std::FILE *stream) : m_stream(stream) {}

    void write(const QString &text) const;

private:
    std::FILE *m_stream;
};
