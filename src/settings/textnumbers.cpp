#include "settings/textnumbers.h"

#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

namespace TextNumbers {
namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isExponentMark(char c)
{
    return c == 'e' || c == 'E' || c == 'd' || c == 'D';
}

// Only ASCII can take part in a number, so the rest becomes a stop mark.
std::string compactAscii(QStringView text)
{
    std::string out;
    out.reserve(text.size());
    for (QChar ch : text) {
        const char16_t u = ch.unicode();
        if (u == ' ' || u == '\t' || u == '\n')
            continue;
        out.push_back(u < 128 ? char(u) : '\x7f');
    }
    return out;
}

double radixValue(const std::string &s, size_t pos, int radix)
{
    double value = 0;
    for (; pos < s.size(); ++pos) {
        const char c = char(std::tolower(static_cast<unsigned char>(s[pos])));
        int digit = -1;
        if (isDigit(c))
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        if (digit < 0 || digit >= radix)
            break;
        value = value * radix + digit;
    }
    return value;
}

// Copies the longest prefix that forms a decimal number, in from_chars form.
std::string decimalPrefix(const std::string &s)
{
    std::string num;
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    size_t digits = 0;
    for (; i < s.size() && isDigit(s[i]); ++i, ++digits)
        num.push_back(s[i]);
    if (i < s.size() && s[i] == '.') {
        num.push_back(s[i++]);
        for (; i < s.size() && isDigit(s[i]); ++i, ++digits)
            num.push_back(s[i]);
    }
    if (digits == 0)
        return {};
    if (i < s.size() && isExponentMark(s[i])) {
        size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            exponent.push_back(s[j++]);
        const size_t firstDigit = j;
        for (; j < s.size() && isDigit(s[j]); ++j)
            exponent.push_back(s[j]);
        if (j > firstDigit)
            num += exponent;
    }
    return negative ? "-" + num : num;
}

} // namespace

double numericValue(QStringView text)
{
    const std::string s = compactAscii(text);
    if (s.size() >= 2 && s[0] == '&') {
        const char kind = char(std::toupper(static_cast<unsigned char>(s[1])));
        if (kind == 'H')
            return radixValue(s, 2, 16);
        if (kind == 'O')
            return radixValue(s, 2, 8);
    }
    const std::string num = decimalPrefix(s);
    if (num.empty())
        return 0;
    // strtod is correctly rounded, infinite on overflow and subnormal or zero
    // on underflow (from_chars rejects the last two), but reads the decimal
    // point of the C library's locale, which Qt sets from the environment:
    // so it is given that one.
    const std::string point = std::localeconv()->decimal_point;
    std::string local;
    for (char c : num)
        local += c == '.' ? point : std::string(1, c);
    const double value = std::strtod(local.c_str(), nullptr);
    return value == 0 ? 0.0 : value; // no negative zero
}

QString numberText(double value)
{
    if (value == 0)
        return QStringLiteral("0");
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    std::string s(buf, res.ptr);
    for (char &c : s) {
        if (c == 'e')
            c = 'E';
    }
    if (s.rfind("0.", 0) == 0)
        s.erase(0, 1);
    else if (s.rfind("-0.", 0) == 0)
        s.erase(1, 1);
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

double roundHalfEven(double value)
{
    const double below = std::floor(value);
    const double fraction = value - below;
    if (fraction > 0.5)
        return below + 1;
    if (fraction < 0.5)
        return below;
    return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

std::optional<int> portNumber(QStringView portText)
{
    const double rounded = roundHalfEven(numericValue(portText));
    if (!(rounded >= -32768 && rounded <= 32767))
        return std::nullopt;
    return int(rounded);
}

QString trimBlanks(QStringView text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == u' ')
        ++first;
    while (last > first && text[last - 1] == u' ')
        --last;
    return text.mid(first, last - first).toString();
}

QString firstCharacter(QStringView text)
{
    if (text.isEmpty())
        return {};
    const bool pair = text.size() > 1 && text[0].isHighSurrogate() && text[1].isLowSurrogate();
    return text.first(pair ? 2 : 1).toString();
}

} // namespace TextNumbers
