// Soak test: the real window logs from a pseudo-terminal that a writer fills
// at full speed with random lines, while Stop and Start are pressed and the
// device vanishes and comes back at random moments. The writer knows every
// byte the program must have received and builds the expected log from them
// with a plain reference transform; the log file must equal it byte for byte.
//
//   soak [--seconds N] [--run N]       (default: one hour, a random run)
#include "app/frmtarnel.h"
#include "capture/serialport.h"
#include "support/eventloop.h"
#include "support/files.h"
#include "support/ptydevice.h"
#include "support/testplatform.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr int portNumber = 8;
constexpr qint64 checkpointBytes = 512LL << 20; // verify and start over past this

// The expected log, built from the bytes the device sent.
class ReferenceLog
{
public:
    explicit ReferenceLog(const std::string &path) : m_path(path) { reset(); }

    void reset()
    {
        m_out.close();
        m_out.open(m_path, std::ios::binary | std::ios::trunc);
    }
    void setDelimiter(const std::string &delimiter) { m_delimiter = delimiter; }

    void feed(const char *data, size_t size)
    {
        m_pending.append(data, size);
        size_t start = 0;
        for (size_t end; (end = m_pending.find("\r\n", start)) != std::string::npos;
             start = end + 2) {
            std::string line = m_pending.substr(start, end - start);
            for (size_t i = 0; !m_delimiter.empty() && (i = line.find(',', i)) != std::string::npos;
                 i += m_delimiter.size())
                line.replace(i, 1, m_delimiter);
            m_out << line << "\r\n";
            ++m_lines;
        }
        m_pending.erase(0, start);
    }

    // A device that goes ends its unfinished line; a CR it sent last began
    // that line's end.
    void endLine()
    {
        if (!m_pending.empty())
            m_pending.back() == '\r' ? feed("\n", 1) : feed("\r\n", 2);
    }
    void flush() { m_out.flush(); }
    std::streamoff written() { return m_out.tellp(); }
    size_t pendingSize() const { return m_pending.size(); }
    long lines() const { return m_lines; }

private:
    std::string m_path;
    std::ofstream m_out;
    std::string m_delimiter;
    std::string m_pending;
    long m_lines = 0;
};

// Writes random lines in random pieces into the device while resumed.
class Writer
{
public:
    Writer(ReferenceLog &reference, unsigned randomRun)
        : m_reference(reference), m_random(randomRun)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~Writer()
    {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    // Only while paused: the device and the delimiter may change.
    void setDevice(int masterFd) { m_fd = masterFd; }
    void resume()
    {
        {
            std::lock_guard lock(m_mutex);
            m_running = true;
        }
        m_wake.notify_all();
    }
    // Returns once no write is in progress and none will start.
    void pause()
    {
        std::lock_guard lock(m_mutex);
        m_running = false;
    }
    long long bytes() const { return m_bytes; }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_quit) {
            if (!m_running) {
                m_wake.wait(lock);
                continue;
            }
            // Pieces run across line ends, so any byte may end a read; some
            // end between the CR and the LF of a line end, the hardest cut.
            size_t piece = pieceSize();
            const bool splitLineEnd = std::uniform_int_distribution(0, 7)(m_random) == 0;
            while (m_line.size() - m_offset < piece ||
                   (splitLineEnd && m_line.find("\r\n", m_offset) == std::string::npos))
                appendLine();
            if (splitLineEnd)
                piece = m_line.find("\r\n", m_offset) + 1 - m_offset;
            pollfd pfd{m_fd, POLLOUT, 0};
            const bool gap = splitLineEnd || std::uniform_int_distribution(0, 19)(m_random) == 0;
            lock.unlock();
            if (gap) // lets the reader catch up and read at this very byte
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            ::poll(&pfd, 1, 5);
            lock.lock();
            if (!m_running || m_quit || !(pfd.revents & POLLOUT))
                continue;
            const ssize_t n = ::write(m_fd, m_line.data() + m_offset, piece);
            if (n <= 0)
                continue;
            m_reference.feed(m_line.data() + m_offset, size_t(n));
            m_offset += size_t(n);
            m_bytes += n;
        }
    }

    size_t pieceSize()
    {
        const int kind = std::uniform_int_distribution(0, 9)(m_random);
        const int most = kind < 3 ? 16 : kind < 7 ? 4096 : 65536;
        return size_t(std::uniform_int_distribution(1, most)(m_random));
    }

    // Random bytes, CR LF pairs excepted, from empty to 100,000 bytes long.
    void appendLine()
    {
        m_line.erase(0, m_offset);
        m_offset = 0;
        const int kind = std::uniform_int_distribution(0, 99)(m_random);
        const int length = kind < 70   ? std::uniform_int_distribution(0, 120)(m_random)
                           : kind < 97 ? std::uniform_int_distribution(0, 5000)(m_random)
                                       : std::uniform_int_distribution(0, 100000)(m_random);
        const bool csv = std::uniform_int_distribution(0, 1)(m_random) == 1;
        std::string line(size_t(length), '\0');
        std::uniform_int_distribution<int> byte(0, 255);
        for (char &c : line) {
            c = char(byte(m_random));
            if (csv && c < 32)
                c = ',';
        }
        for (size_t i = 0; (i = line.find("\r\n", i)) != std::string::npos;)
            line[i + 1] = 'n';
        m_line += line + "\r\n";
    }

    ReferenceLog &m_reference;
    std::mt19937 m_random;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_running = false;
    bool m_quit = false;
    int m_fd = -1;
    std::string m_line; // generated, written from m_offset on
    size_t m_offset = 0;
    std::atomic<long long> m_bytes = 0;
};

class Soak
{
public:
    Soak(int seconds, unsigned randomRun)
        : m_seconds(seconds), m_run(randomRun), m_random(randomRun),
          m_reference(m_dir.filePath("expected.log").toStdString()),
          m_writer(m_reference, randomRun + 1)
    {
    }

    int run();

private:
    bool startLogging(bool overwrite);
    void drain();
    bool stopLogging();
    bool vanishAndReturn();
    bool checkpoint(bool final);
    int between(int low, int high) { return std::uniform_int_distribution(low, high)(m_random); }

    int m_seconds;
    unsigned m_run; // picks the random sequence, so a run can be repeated
    std::mt19937 m_random;
    QTemporaryDir m_dir;
    ReferenceLog m_reference;
    Writer m_writer;
    PtyDevice m_device;
    std::unique_ptr<FrmTarnel> m_window;
    QString m_logPath = m_dir.filePath("tarnel.log");
    long m_startStops = 0, m_disconnects = 0, m_checkpoints = 0;
    long m_rssAfterFirstCheckpoint = -1;
};

bool Soak::startLogging(bool overwrite)
{
    static const char *const delimiters[] = {";", "\t", "", "|", ",", "\xc2\xa7"};
    const std::string delimiter = delimiters[between(0, 5)];
    m_window->txtDelim->setText(QString::fromUtf8(delimiter.c_str()));
    m_window->chkOver->setChecked(overwrite);
    m_reference.setDelimiter(delimiter);
    m_window->cmdStart->click();
    return m_window->cmdStart->text() == QStringLiteral("Stop");
}

// Lets the program take everything the kernel still holds for it.
void Soak::drain()
{
    m_writer.pause();
    // Bytes on their way through the kernel are not counted as queued, and a
    // device that goes takes them with it: wait until the window has them all.
    waitUntil(
        [&] {
            return m_device.queued() == 0 && QFileInfo(m_logPath).size() == m_reference.written() &&
                   m_window->session().assembler().pending().size() ==
                       qsizetype(m_reference.pendingSize());
        },
        30000);
}

bool Soak::stopLogging()
{
    m_window->cmdStart->click();
    ++m_startStops;
    return m_window->cmdStart->text() == QStringLiteral("Start");
}

bool Soak::vanishAndReturn()
{
    m_device.closeMaster();
    ++m_disconnects;
    if (!waitUntil([&] { return m_window->comm->isReconnecting(); }, 5000))
        return false;
    m_reference.endLine(); // the writer is paused
    runEventLoop(between(0, 1500));
    const bool stopWhileGone = between(0, 4) == 0;
    if (stopWhileGone && !stopLogging())
        return false;
    if (!m_device.open(m_dir.path(), portNumber))
        return false;
    m_writer.setDevice(m_device.masterFd());
    if (stopWhileGone)
        return startLogging(false);
    return waitUntil([&] { return m_window->comm->isOpen(); }, 5000);
}

bool Soak::checkpoint(bool final)
{
    m_reference.flush();
    const qint64 at = firstDifference(m_logPath, m_dir.filePath("expected.log"));
    if (at >= 0) {
        std::fprintf(stderr, "soak: the log differs from the expected log at byte %lld\n", at);
        return false;
    }
    ++m_checkpoints;
    if (m_rssAfterFirstCheckpoint < 0)
        m_rssAfterFirstCheckpoint = residentKb();
    if (final)
        return true;
    m_reference.reset(); // the next Start overwrites the log
    return startLogging(true);
}

int Soak::run()
{
    if (!m_dir.isValid() || !m_device.open(m_dir.path(), portNumber))
        return 2;
    m_window = std::make_unique<FrmTarnel>(m_dir.path());
    m_window->txtPort->setText(QString::number(portNumber));
    m_window->txtFile->setText(m_logPath);
    m_writer.setDevice(m_device.masterFd());
    if (!startLogging(true))
        return 2;

    const long rssAtStart = residentKb();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(m_seconds);
    bool ok = true;
    while (ok && std::chrono::steady_clock::now() < end) {
        m_writer.resume();
        runEventLoop(between(10, 400));
        drain();
        const int action = between(0, 99);
        if (action < 30) {
            ok = stopLogging();
            if (ok && QFileInfo(m_logPath).size() > checkpointBytes)
                ok = checkpoint(false);
            else if (ok)
                ok = startLogging(false);
        } else if (action < 45) {
            ok = vanishAndReturn();
        }
    }
    drain();
    ok = ok && stopLogging() && checkpoint(true);
    const long rssAtEnd = residentKb();
    const long growthKb = rssAtEnd - std::max(rssAtStart, m_rssAfterFirstCheckpoint);
    ok = ok && growthKb < 64 * 1024;

    std::printf(
        "soak: %s after %d s (run %u): %lld bytes, %ld lines, %ld Stop/Start, "
        "%ld disconnects, %ld checkpoints; resident memory %ld kB at start, %ld kB at end\n",
        ok ? "passed" : "FAILED", m_seconds, m_run, m_writer.bytes(), m_reference.lines(),
        m_startStops, m_disconnects, m_checkpoints, rssAtStart, rssAtEnd);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    chooseTestPlatform();
    QApplication app(argc, argv);
    int seconds = 3600;
    unsigned randomRun = std::random_device{}();
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--seconds")
            seconds = args[i + 1].toInt();
        else if (args[i] == "--run")
            randomRun = args[i + 1].toUInt();
    }
    return Soak(seconds, randomRun).run();
}
