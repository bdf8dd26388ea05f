// Dialog units: layout units relative to the window font. A horizontal unit
// is a quarter of the font's average character width (the width of the 52
// Latin letters, halved per 26 and rounded), a vertical unit an eighth of its
// height; conversions round to the nearest pixel.
#pragma once

class QFont;

namespace kel {

int DialogUnitsToPixelsX(int units, const QFont& font);
int DialogUnitsToPixelsY(int units, const QFont& font);

}  // namespace kel
