// TBitmap: a 24-bit picture in BGR byte order, rows top first. The engine
// hands it to hooks and previews; the application wraps it in a QImage
// (Format_BGR888). Lock()/Unlock() keep a drawing owner and the converting
// thread off the pixels at the same time.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

class TBitmap {
 public:
  TBitmap() = default;
  TBitmap(int width, int height) { SetSize(width, height); }

  void SetSize(int width, int height) {
    Width = width > 0 ? width : 0;
    Height = height > 0 ? height : 0;
    Pixels.assign(static_cast<size_t>(Stride()) * static_cast<size_t>(Height), 0);
  }
  int GetWidth() const { return Width; }
  int GetHeight() const { return Height; }
  // Bytes per row: 3 per pixel, rounded up to 4 as bitmaps are.
  int Stride() const { return (Width * 3 + 3) & ~3; }
  uint8_t* Scanline(int row) { return Pixels.data() + static_cast<size_t>(row) * Stride(); }
  const uint8_t* Scanline(int row) const {
    return Pixels.data() + static_cast<size_t>(row) * Stride();
  }
  uint8_t* Bits() { return Pixels.data(); }
  void Lock() { Canvas.lock(); }
  void Unlock() { Canvas.unlock(); }

 private:
  int Width = 0, Height = 0;
  std::vector<uint8_t> Pixels;
  std::recursive_mutex Canvas;
};
