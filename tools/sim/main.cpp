// tarnel-sim: a virtual instrument on a pseudo-terminal, for trying Tarnel
// without a device. It links the terminal as com<N> where Tarnel looks for
// port links and sends comma-separated lines like a sensor board would.
#include "simoptions.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

void installSignalHandlers()
{
    struct sigaction action = {};
    action.sa_handler = requestStop; // no SA_RESTART: a blocked write returns
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

// A link we may replace: absent, ours from an earlier run, or dangling.
bool mayReplace(const fs::path &link)
{
    std::error_code ec;
    if (!fs::is_symlink(link, ec))
        return !fs::exists(link, ec);
    const fs::path target = fs::read_symlink(link, ec);
    return target.string().rfind("/dev/pts/", 0) == 0 || !fs::exists(link, ec);
}

bool writeAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size() && !stopRequested) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += size_t(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
    }
    return done == bytes.size();
}

// Readings like a small climate sensor: sequence, temperature, humidity.
class SensorReadings
{
public:
    explicit SensorReadings(unsigned variant) : m_random(variant) {}

    std::string next()
    {
        std::normal_distribution<double> step(0.0, 0.1);
        m_temperature = std::clamp(m_temperature + step(m_random), -20.0, 60.0);
        m_humidity = std::clamp(m_humidity + step(m_random) * 3, 5.0, 95.0);
        char line[64];
        std::snprintf(line, sizeof line, "%lu,%.1f,%.1f\r\n", ++m_sequence, m_temperature,
                      m_humidity);
        return line;
    }

private:
    std::mt19937 m_random;
    unsigned long m_sequence = 0;
    double m_temperature = 21.5;
    double m_humidity = 45.0;
};

// Lines of a file, each sent with CR LF, whatever the file's own line ends.
class ReplayedLines
{
public:
    explicit ReplayedLines(const std::string &path) : m_file(path, std::ios::binary) {}
    bool isOpen() const { return m_file.is_open(); }

    bool next(std::string &line)
    {
        if (!std::getline(m_file, line))
            return false;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        line += "\r\n";
        return true;
    }

private:
    std::ifstream m_file;
};

// Waits until the reader has taken everything, so closing loses nothing.
void drain(int slave)
{
    int queued = 0;
    while (!stopRequested && ::ioctl(slave, FIONREAD, &queued) == 0 && queued > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

int run(const SimOptions &options)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("tarnel-sim: openpty");
        return 1;
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio); // or the terminal would turn CR into LF on the way
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(slave, TCSANOW, &tio);

    const fs::path link = fs::path(options.directory) / ("com" + std::to_string(options.port));
    if (!mayReplace(link)) {
        std::fprintf(stderr, "tarnel-sim: %s exists and is not ours; remove it or choose --port\n",
                     link.c_str());
        return 1;
    }
    std::error_code ec;
    fs::create_directories(options.directory, ec); // the configuration folder, at first use
    fs::remove(link, ec);
    fs::create_symlink(name, link, ec);
    if (ec) {
        std::fprintf(stderr, "tarnel-sim: cannot link %s: %s\n", link.c_str(),
                     ec.message().c_str());
        return 1;
    }
    std::printf("tarnel-sim: COM %d is %s (%s)\n", options.port, link.c_str(), name);
    std::fflush(stdout);

    ReplayedLines replay(options.replayFile);
    if (!options.replayFile.empty() && !replay.isOpen()) {
        std::fprintf(stderr, "tarnel-sim: cannot read %s\n", options.replayFile.c_str());
        fs::remove(link, ec);
        return 1;
    }
    SensorReadings sensor(options.variant);
    const auto interval = std::chrono::duration<double>(options.rate > 0 ? 1.0 / options.rate : 0);
    auto due = std::chrono::steady_clock::now();
    long sent = 0;
    std::string line;
    while (!stopRequested && (options.count < 0 || sent < options.count)) {
        if (options.replayFile.empty())
            line = sensor.next();
        else if (!replay.next(line))
            break;
        if (!options.burst) {
            due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
            std::this_thread::sleep_until(due);
        }
        if (!writeAll(master, line))
            break;
        ++sent;
    }
    drain(slave);
    // Done sending: stay, so the device does not vanish under the reader.
    while (!stopRequested)
        ::pause();
    fs::remove(link, ec);
    ::close(master);
    ::close(slave);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    SimOptions options;
    std::string error;
    switch (parseSimOptions(argc, argv, options, error)) {
    case ParseResult::Help:
        std::fputs(simUsage().c_str(), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "tarnel-sim: %s\n%s", error.c_str(), simUsage().c_str());
        return 2;
    case ParseResult::Run:
        break;
    }
    installSignalHandlers();
    return run(options);
}
