// The numeric value of text: any input is safe, and on text made of digits,
// signs, '.', exponent letters and blanks it agrees with a reference built
// on a regular expression and the C library in the C locale.
#include "settings/textnumbers.h"

#include <clocale>
#include <cstdlib>
#include <regex>
#include <string>

namespace {

double referenceValue(const std::string &text)
{
    std::string compact;
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n')
            compact += c;
    }
    static const std::regex number(R"(^[+-]?(\d+\.?\d*|\.\d+)([eEdD][+-]?\d+)?)");
    std::smatch match;
    if (!std::regex_search(compact, match, number))
        return 0;
    std::string literal = match.str(0);
    for (char &c : literal) {
        if (c == 'd' || c == 'D')
            c = 'e';
    }
    const double value = std::strtod(literal.c_str(), nullptr);
    return value == 0 ? 0.0 : value;
}

bool inAlphabet(const std::string &text)
{
    return text.find_first_not_of("0123456789+-.eEdD \t\n") == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const double value =
        TextNumbers::numericValue(QString::fromLatin1(text.data(), qsizetype(size)));
    TextNumbers::numberText(value);
    TextNumbers::portNumber(QString::fromUtf8(text.data(), qsizetype(size)));
    if (inAlphabet(text) && size < 4096) {
        std::setlocale(LC_NUMERIC, "C");
        const double expected = referenceValue(text);
        if (!(value == expected))
            std::abort();
    }
    return 0;
}
