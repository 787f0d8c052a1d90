#include "numbers.h"

#include <cmath>
#include <limits>

namespace kel::wizard {
namespace {

bool is_blank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }
bool is_digit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

}  // namespace

double parse_number(const QString &text) {
    QString compact;
    for (QChar c : text)
        if (!is_blank(c)) compact += c;
    qsizetype i = 0;
    bool negative = false;
    if (i < compact.size() && (compact[i] == QLatin1Char('+') || compact[i] == QLatin1Char('-'))) {
        negative = compact[i] == QLatin1Char('-');
        ++i;
    }
    double value = 0;
    bool any_digit = false;
    for (; i < compact.size() && is_digit(compact[i]); ++i) {
        value = value * 10 + (compact[i].unicode() - '0');
        any_digit = true;
    }
    if (i < compact.size() && compact[i] == QLatin1Char('.')) {
        double scale = 0.1;
        for (++i; i < compact.size() && is_digit(compact[i]); ++i, scale /= 10) {
            value += (compact[i].unicode() - '0') * scale;
            any_digit = true;
        }
    }
    if (!any_digit) return 0;
    return negative ? -value : value;
}

QString format_number(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        return QString::number(static_cast<long long>(value));
    return QString::number(value, 'g', 15);
}

int round_port(double value) {
    constexpr double lo = std::numeric_limits<int>::min();
    constexpr double hi = std::numeric_limits<int>::max();
    if (std::isnan(value)) return 0;
    if (value <= lo) return std::numeric_limits<int>::min();
    if (value >= hi) return std::numeric_limits<int>::max();
    return static_cast<int>(std::nearbyint(value));
}

int leading_port(const QString &text) {
    constexpr int kCeiling = 1'000'000'000;
    long long value = 0;
    for (qsizetype i = 0; i < text.size() && is_digit(text[i]); ++i)
        value = std::min<long long>(value * 10 + (text[i].unicode() - '0'), kCeiling);
    return static_cast<int>(value);
}

QString trim_blanks(const QString &text) {
    qsizetype start = 0, end = text.size();
    while (start < end && text[start] == QLatin1Char(' ')) ++start;
    while (end > start && text[end - 1] == QLatin1Char(' ')) --end;
    return text.mid(start, end - start);
}

bool is_valid_port(double value) { return value >= 1 && value <= 65535; }

}  // namespace kel::wizard
