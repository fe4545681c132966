// Line assembly in process: throughput of the receive path without I/O.
#include "capture/lineassembler.h"

#include <benchmark/benchmark.h>

namespace {

constexpr qsizetype readSize = 4096; // what a serial read typically returns
constexpr qsizetype streamSize = 10 * 1024 * 1024;

QByteArray repeatLine(const QByteArray &line)
{
    QByteArray stream;
    stream.reserve(streamSize + line.size());
    while (stream.size() < streamSize)
        stream += line;
    return stream;
}

QByteArray line80()
{
    QByteArray line = "2026-12-07,17:42:07,sensor-04,21.5,45.2,1013.2,OK,";
    while (line.size() < 78)
        line += 'x';
    return line + "\r\n";
}

void feedInReads(benchmark::State &state, const QByteArray &stream, bool timeMarks)
{
    LineAssembler assembler;
    assembler.setDelimiter(";");
    QByteArray out;
    for (auto _ : state) {
        for (qsizetype at = 0; at < stream.size(); at += readSize) {
            out.resize(0);
            assembler.append(QByteArrayView(stream).sliced(at, qMin(readSize, stream.size() - at)),
                             timeMarks, out);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}

void ShortCsvLines(benchmark::State &state)
{
    feedInReads(state, repeatLine("A,12,7\r\n"), state.range(0));
}

void Lines80(benchmark::State &state)
{
    feedInReads(state, repeatLine(line80()), state.range(0));
}

void OneTenMegabyteLine(benchmark::State &state)
{
    QByteArray stream(streamSize, 'x');
    for (qsizetype i = 0; i < stream.size(); i += 10)
        stream[i] = ',';
    stream += "\r\n";
    feedInReads(state, stream, state.range(0));
}

} // namespace

BENCHMARK(ShortCsvLines)->ArgName("time")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Lines80)->ArgName("time")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(OneTenMegabyteLine)->ArgName("time")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
