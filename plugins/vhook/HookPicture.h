// Drawing on the pictures a hook receives, in their own pixel format:
// 8-bit planar YUV (4:2:0, 4:2:2, 4:4:4, 4:1:1, 4:1:0, 4:4:0, limited or full
// range), NV12/NV21, grey and packed 24/32-bit RGB. Other formats are left
// alone (Supported says which). Everything is clipped to the picture.
#pragma once
#include <cstdint>
#include <vector>

#include "FrameHook.h"

// A picture of 32-bit pixels 0xAARRGGBB, rows top first; alpha 0 is clear.
struct TArgbImage {
  int Width = 0, Height = 0;
  std::vector<uint32_t> Pixels;
  uint32_t At(int x, int y) const { return Pixels[static_cast<size_t>(y) * Width + x]; }
};

class THookCanvas {
 public:
  THookCanvas(THookPicture* picture, int pixFmt, int width, int height);
  bool Supported() const { return Kind != kNone; }
  // Blends the image with its top-left corner at (x, y), each pixel by its
  // alpha times opacity (0..1).
  void Blend(const TArgbImage& image, int x, int y, double opacity = 1.0);
  // Adds (value - 128) of each opaque image pixel's brightness to the
  // picture's brightness: grey leaves the picture as it is, lighter and
  // darker shades emboss it.
  void Emboss(const TArgbImage& image, int x, int y);

 private:
  enum TKind { kNone, kPlanarYuv, kSemiPlanar, kGray, kPacked };
  // Blends (or embosses) the covered luma or RGB pixels; each chroma sample
  // takes the averaged colour and coverage of the pixels it stands for.
  void Paint(const TArgbImage& image, int x, int y, double opacity, bool emboss);

  THookPicture* Picture;
  int Width, Height;
  TKind Kind = kNone;
  bool FullRange = false;
  int ShiftW = 0, ShiftH = 0;     // chroma subsampling
  bool SwapUV = false;            // NV21
  int Bytes = 0;                  // packed: bytes per pixel
  int R = 0, G = 0, B = 0;        // packed: byte offsets
};
