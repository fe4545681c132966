#pragma once

#include <QString>

// One row of the benchmarks' table: figure | value | target | met
// (met: 1 yes, 0 NO, -1 no target).
void row(const QString &figure, const QString &value, const QString &target = {}, int met = -1);

// A process's user and system time so far, from /proc.
double processCpuSeconds(qint64 pid);
