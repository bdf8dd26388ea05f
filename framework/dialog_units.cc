#include "framework/dialog_units.h"

#include <QFont>
#include <QFontMetrics>
#include <cstdint>

namespace kel {
namespace {

int MulDiv(int a, int b, int c) { return int((int64_t(a) * b * 2 + c) / (2 * int64_t(c))); }

int AverageCharWidth(const QFont& font) {
  QFontMetrics m(font);
  int width = m.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return (width / 26 + 1) / 2;
}

}  // namespace

int DialogUnitsToPixelsX(int units, const QFont& font) {
  return MulDiv(units, AverageCharWidth(font), 4);
}

int DialogUnitsToPixelsY(int units, const QFont& font) {
  return MulDiv(units, QFontMetrics(font).height(), 8);
}

}  // namespace kel
