#include "simoptions.h"

#include "settings/filelocations.h"

#include <cstdlib>
#include <filesystem>
#include <getopt.h>
#include <unistd.h>

namespace {

// Where tarnel installed beside this executable looks for its port links.
std::string portLinkDirectory()
{
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::string programDir = ec ? std::string(".") : self.parent_path().string();
    return FileLocations::forProgram(QString::fromStdString(programDir)).configDir.toStdString();
}

bool parseNumber(const char *text, double &value)
{
    char *end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

} // namespace

std::string simUsage()
{
    return "Usage: tarnel-sim [options]\n"
           "A virtual instrument for Tarnel: it opens a pseudo-terminal, links it as\n"
           "com<N> where Tarnel looks for port links and sends lines like a sensor board:\n"
           "a sequence number, a temperature and a humidity, comma-separated, CR LF.\n"
           "Ctrl-C or SIGTERM removes the link and ends it.\n\n"
           "  -d, --dir DIR       folder to link into (default: where tarnel installed\n"
           "                      beside tarnel-sim looks: that folder when you may\n"
           "                      write it, otherwise ~/.config/tarnel)\n"
           "  -p, --port N        link as com<N> (default 1)\n"
           "  -r, --rate R        lines a second (default 2)\n"
           "  -b, --burst         send as fast as the reader takes them\n"
           "  -c, --count N       stop sending after N lines, and keep the device\n"
           "                      open until ended\n"
           "  -f, --replay FILE   send the lines of FILE instead, in order\n"
           "  -v, --variant N     which series of readings to send (default 1)\n"
           "  -h, --help          show this text\n";
}

ParseResult parseSimOptions(int argc, char *argv[], SimOptions &options, std::string &error)
{
    static const option longOptions[] = {
        {"dir", required_argument, nullptr, 'd'},
        {"port", required_argument, nullptr, 'p'},
        {"rate", required_argument, nullptr, 'r'},
        {"burst", no_argument, nullptr, 'b'},
        {"count", required_argument, nullptr, 'c'},
        {"replay", required_argument, nullptr, 'f'},
        {"variant", required_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    options.directory = portLinkDirectory();
    optind = 1;
    int opt = 0;
    double number = 0;
    while ((opt = getopt_long(argc, argv, "d:p:r:bc:f:v:h", longOptions, nullptr)) != -1) {
        switch (opt) {
        case 'd':
            options.directory = optarg;
            break;
        case 'p':
            if (!parseNumber(optarg, number) || number < 1 || number > 32767 ||
                number != int(number)) {
                error = "--port takes a whole number from 1 to 32767";
                return ParseResult::Error;
            }
            options.port = int(number);
            break;
        case 'r':
            if (!parseNumber(optarg, number) || !(number > 0)) {
                error = "--rate takes a number of lines a second above 0";
                return ParseResult::Error;
            }
            options.rate = number;
            break;
        case 'b':
            options.burst = true;
            break;
        case 'c':
            if (!parseNumber(optarg, number) || number < 0 || number != long(number)) {
                error = "--count takes a whole number";
                return ParseResult::Error;
            }
            options.count = long(number);
            break;
        case 'f':
            options.replayFile = optarg;
            break;
        case 'v':
            if (!parseNumber(optarg, number) || number < 0) {
                error = "--variant takes a whole number";
                return ParseResult::Error;
            }
            options.variant = unsigned(number);
            break;
        case 'h':
            return ParseResult::Help;
        default:
            error = "unknown option";
            return ParseResult::Error;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument: ") + argv[optind];
        return ParseResult::Error;
    }
    return ParseResult::Run;
}
