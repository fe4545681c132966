// The number rules of the port field and the settings file.
#include "settings/textnumbers.h"

#include <QList>
#include <clocale>
#include <cmath>
#include <gtest/gtest.h>

namespace {

using namespace TextNumbers;

// The rules must not follow the locale, so the tests run under one that
// writes numbers with a decimal comma whenever the system has one.
class DecimalCommaLocale : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_saved = std::setlocale(LC_ALL, nullptr);
        // Named the Linux way, or the Windows C library's way.
        for (const char *german : {"de_DE.UTF-8", "German_Germany.1252"}) {
            if (std::setlocale(LC_ALL, german) && *std::localeconv()->decimal_point == ',')
                return;
        }
        GTEST_SKIP() << "no locale with a decimal comma (tools/install-deps.sh makes one)";
    }
    void TearDown() override { std::setlocale(LC_ALL, m_saved.c_str()); }

private:
    std::string m_saved;
};

TEST_F(DecimalCommaLocale, NumericValueOfText)
{
    const QList<std::pair<QString, double>> cases{
        {"", 0},          {"abc", 0},    {"12", 12},          {" 12 ", 12},   {"1 2", 12},
        {"1\t2\n3", 123}, {"1\r2", 1},   {"-5", -5},          {"+5", 5},      {"- 5", -5},
        {"--5", 0},       {"2.5", 2.5},  {".25", 0.25},       {"-.5", -0.5},  {"5.", 5},
        {".", 0},         {"2,5", 2},    {"1.2.3", 1.2},      {"7x", 7},      {"03", 3},
        {"1E3", 1000},    {"1e3", 1000}, {"1D3", 1000},       {"1d-2", 0.01}, {"2.5E+1", 25},
        {"1E", 1},        {"1E+", 1},    {"E3", 0},           {"&H1F", 31},   {"&hff", 255},
        {"&HG", 0},       {"&O17", 15},  {"&o8", 0},          {"& H10", 16},  {"&", 0},
        {"&X1", 0},       {"-&H10", 0},  {"1e400", HUGE_VAL}, {"1e-400", 0},  {"0.1", 0.1},
        {"١٢", 0},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(numericValue(text), expected) << text.toStdString();
    // Many digits with a small negative exponent still overflow; tiny values stay.
    EXPECT_EQ(numericValue(QStringLiteral("-2%1e-7").arg(QString(400, u'7'))), -HUGE_VAL);
    EXPECT_EQ(numericValue(u"1e-310"), 1e-310);
    EXPECT_FALSE(std::signbit(numericValue(u"-0")));
}

TEST_F(DecimalCommaLocale, NumberText)
{
    const QList<std::pair<double, QString>> cases{
        {3, "3"},
        {2.5, "2.5"},
        {0.25, ".25"},
        {-0.25, "-.25"},
        {0, "0"},
        {-0.0, "0"},
        {10, "10"},
        {1.0 / 3, ".333333333333333"},
        {2.675, "2.675"},
        {123456789012345, "123456789012345"},
        {1e15, "1E+15"},
        {0.00001, "1E-05"},
        {9.99999999999999, "9.99999999999999"},
        {0.1 + 0.2, ".3"},
    };
    for (const auto &[value, expected] : cases)
        EXPECT_EQ(numberText(value), expected) << value;
}

TEST(TextNumbers, RoundingAndPortNumbers)
{
    const QList<std::pair<double, double>> rounding{
        {0.5, 0},   {1.5, 2},  {2.5, 2},  {3.5, 4},    {-0.5, 0}, {-1.5, -2},
        {-2.5, -2}, {0.49, 0}, {0.51, 1}, {2.4999, 2}, {7, 7},
    };
    for (const auto &[value, expected] : rounding)
        EXPECT_EQ(roundHalfEven(value), expected) << value;

    const QList<std::pair<QString, std::optional<int>>> ports{
        {"2.5", 2},
        {"3.5", 4},
        {" 12 ", 12},
        {"abc", 0},
        {"-32768", -32768},
        {"32767", 32767},
        {"32767.5", std::nullopt},
        {"32768", std::nullopt},
        {"-32769", std::nullopt},
        {"1e9", std::nullopt},
        {"5\u0131", 5}, // the number ends at a letter whose low byte is '1'
    };
    for (const auto &[text, expected] : ports)
        EXPECT_EQ(portNumber(text), expected) << text.toStdString();
}

TEST(TextNumbers, TrimmingTouchesBlanksOnly)
{
    EXPECT_EQ(trimBlanks(u"  a b  "), QStringLiteral("a b"));
    EXPECT_EQ(trimBlanks(u"\t a \t"), QStringLiteral("\t a \t"));
    EXPECT_EQ(trimBlanks(u"   "), QString());
    EXPECT_EQ(firstCharacter(u"|x"), QStringLiteral("|"));
    EXPECT_EQ(firstCharacter(u"😀x"), QStringLiteral("😀"));
    EXPECT_EQ(firstCharacter(u""), QString());
    EXPECT_EQ(firstCharacter(u"\xD800;"), QString(QChar(0xD800))); // half a pair stays alone
}

} // namespace
