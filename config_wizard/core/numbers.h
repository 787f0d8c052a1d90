// How the wizard reads numbers typed by the user and the ports in list lines.
#pragma once

#include <QString>

namespace kel::wizard {

// The number at the start of `text`, blanks ignored anywhere in it: an
// optional sign, digits and an optional fraction ("8 080" reads 8080,
// "1080abc" 1080). A text without a number reads 0.
double parse_number(const QString &text);

// Decimal, without leading blanks; whole numbers without a fraction.
QString format_number(double value);

// Rounded to a whole number, halves to even, clamped to the 32-bit range.
int round_port(double value);

// The run of decimal digits at the start of `text` as a number (saturating
// far above 65535); 0 when the text does not begin with a digit.
int leading_port(const QString &text);

// `text` without leading and trailing blanks (spaces only).
QString trim_blanks(const QString &text);

bool is_valid_port(double value);

}  // namespace kel::wizard
