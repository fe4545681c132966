// Line assembly against a one-shot reference: the same bytes, cut into
// pieces as the fuzzer chooses, with any delimiter byte, time marks on or
// off (from a fixed clock) and any stream limit, must give the reference's
// output and leave the same partial line; a streamed partial line must give
// the same output once a final CR LF ends it.
#include "capture/lineassembler.h"

#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

namespace {

struct Reference
{
    std::string output;
    std::string pending;
};

std::time_t fixedClock()
{
    return 1772409599;
}

// Deliberately plain: find each CR LF in the whole stream, left to right.
Reference referenceTransform(const std::string &stream, const std::string &delimiter,
                             const std::string &mark)
{
    Reference ref;
    size_t start = 0;
    for (size_t end; (end = stream.find("\r\n", start)) != std::string::npos; start = end + 2) {
        ref.output += mark;
        for (size_t i = start; i < end; ++i) {
            if (stream[i] == ',' && !delimiter.empty())
                ref.output += delimiter;
            else
                ref.output += stream[i];
        }
        ref.output += "\r\n";
    }
    ref.pending = stream.substr(start);
    return ref;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool emptyDelimiter = input.ConsumeBool();
    const bool timeMarks = input.ConsumeBool();
    const char delimiterByte = char(input.ConsumeIntegral<uint8_t>());
    const qsizetype streamLimit = input.ConsumeIntegralInRange<qsizetype>(0, 300);
    const std::string delimiter = emptyDelimiter ? std::string() : std::string(1, delimiterByte);
    std::vector<size_t> cuts;
    const size_t cutCount = input.ConsumeIntegralInRange<size_t>(0, 64);
    for (size_t i = 0; i < cutCount; ++i)
        cuts.push_back(input.ConsumeIntegralInRange<size_t>(1, 4096));
    const std::string stream = input.ConsumeRemainingBytesAsString();

    LineAssembler assembler(&fixedClock, streamLimit);
    assembler.setDelimiter(QByteArray::fromStdString(delimiter));
    QByteArray out;
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        const size_t n =
            std::min(cuts.empty() ? stream.size() : cuts[i % cuts.size()], stream.size() - at);
        assembler.append(QByteArrayView(stream.data() + at, qsizetype(n)), timeMarks, out);
        at += n;
    }
    const std::string mark =
        timeMarks
            ? TimeMark::format(fixedClock(), QByteArray::fromStdString(delimiter)).toStdString()
            : std::string();
    const Reference ref = referenceTransform(stream, delimiter, mark);
    if (!assembler.isStreaming()) {
        if (out.toStdString() != ref.output ||
            assembler.pending().toByteArray().toStdString() != ref.pending)
            std::abort();
        return 0;
    }
    assembler.append("\r\n", timeMarks, out);
    if (out.toStdString() != referenceTransform(stream + "\r\n", delimiter, mark).output)
        std::abort();
    return 0;
}
