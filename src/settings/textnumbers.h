#pragma once

#include <QString>
#include <QStringView>
#include <optional>

// The number rules shared by the settings file and the port field. They are
// locale-independent on purpose: '.' is the decimal separator everywhere.
namespace TextNumbers {

// The number the text begins with once spaces, tabs and line feeds are
// removed: decimal with optional sign, fraction and E/D exponent, or an
// &H / &O integer. Text that does not begin with a number gives 0.
double numericValue(QStringView text);

// Shortest plain decimal form with up to 15 significant digits and no
// leading zero before the point (0.25 gives ".25").
QString numberText(double value);

// To the nearest integer, halves to the even neighbour.
double roundHalfEven(double value);

// The port number the port text selects, or nothing when it falls outside
// the 16-bit range the port field has always had.
std::optional<int> portNumber(QStringView portText);

// Removes leading and trailing blanks (spaces only; tabs stay).
QString trimBlanks(QStringView text);

// The first character of the text (a surrogate pair kept whole), or nothing.
QString firstCharacter(QStringView text);

} // namespace TextNumbers
