// The caret of one editor as the model sees it: where it stands in pixels,
// whether the window has it (only while focused) and the font the input
// method composes in. The view draws it and places the composition there.
#pragma once

namespace zentu {

class CCaret {
 public:
  void Create(int widthPixels, int heightPixels) {
    width_ = widthPixels;
    height_ = heightPixels;
    exists_ = true;
  }
  void Destroy() { exists_ = false; }
  void Place(int x, int y) {
    x_ = x;
    y_ = y;
  }

  bool Exists() const { return exists_; }
  int X() const { return x_; }
  int Y() const { return y_; }
  int Width() const { return width_; }
  int Height() const { return height_; }

 private:
  bool exists_ = false;
  int x_ = 0, y_ = 0;
  int width_ = 2, height_ = 0;
};

}  // namespace zentu
