// The layout and colour record of an editor. The owner fills it from the
// profile's "[Editor]" section; the view measures the font and writes the
// character width and line height before handing it to the model.
#pragma once
#include <string>

namespace zentu {

struct KColor {
  int red = 0, green = 0, blue = 0;
  bool operator==(const KColor&) const = default;
};

class CKEditFont {
 public:
  // Logical font: height, width (height / 2), character set 128 (Shift_JIS), face.
  int height = 16;
  int width = 8;
  int charSet = 128;
  std::string face;  // Shift_JIS

  int tabWidth = 4;     // columns, always 4
  int charWidth = 8;    // pixels: half the text-metric height ("fixedsys" one less)
  int lineHeight = 18;  // pixels: text-metric height plus external leading

  KColor text{0, 0, 0};
  KColor background{255, 255, 255};
  KColor ctrl{160, 160, 160};
  KColor eof{0, 128, 255};
  KColor tag{0, 0, 192};
  KColor link{0, 0, 255};
  KColor lineBreak{0, 160, 160};
  KColor firstLineBack{224, 232, 255};
  KColor firstLineLine{96, 96, 160};
  KColor firstLineFont{0, 0, 96};

  int leftMargin = 0;
  int topMargin = 0;
  int baseLineSkip = 2;  // never negative

  // Distance between the tops of two rows.
  int Pitch() const { return lineHeight + baseLineSkip; }
};

}  // namespace zentu
