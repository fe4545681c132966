#include "benchtable.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

void row(const QString &figure, const QString &value, const QString &target, int met)
{
    std::printf("| %-46s | %-34s | %-24s | %-3s |\n", qPrintable(figure), qPrintable(value),
                qPrintable(target),
                met < 0 ? ""
                : met   ? "yes"
                        : "NO");
    std::fflush(stdout);
}

double processCpuSeconds(qint64 pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    double ticks = 0;
    for (int i = 1; stat >> field && i <= 15; ++i) {
        if (i == 14 || i == 15)
            ticks += std::stod(field);
    }
    return ticks / double(::sysconf(_SC_CLK_TCK));
}
