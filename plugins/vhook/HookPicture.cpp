#include "HookPicture.h"

#include <algorithm>
#include <cstddef>
#include <cmath>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace {

uint8_t Clip(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// BT.601 matrices, as the decoders of the media libraries assume for SD.
void ToYuv(double r, double g, double b, bool full, double& y, double& u, double& v) {
  y = 0.299 * r + 0.587 * g + 0.114 * b;
  u = -0.168736 * r - 0.331264 * g + 0.5 * b;
  v = 0.5 * r - 0.418688 * g - 0.081312 * b;
  if (!full) {
    y = 16 + y * 219.0 / 255.0;
    u *= 224.0 / 255.0;
    v *= 224.0 / 255.0;
  }
  u += 128;
  v += 128;
}

double Brightness(uint32_t argb) {
  return 0.299 * ((argb >> 16) & 255) + 0.587 * ((argb >> 8) & 255) + 0.114 * (argb & 255);
}

}  // namespace

THookCanvas::THookCanvas(THookPicture* picture, int pixFmt, int width, int height)
    : Picture(picture), Width(width), Height(height) {
  struct TPlanar {
    int Format, ShiftW, ShiftH;
    bool Full;
  };
  static const TPlanar planar[] = {
      {AV_PIX_FMT_YUV420P, 1, 1, false}, {AV_PIX_FMT_YUVJ420P, 1, 1, true},
      {AV_PIX_FMT_YUV422P, 1, 0, false}, {AV_PIX_FMT_YUVJ422P, 1, 0, true},
      {AV_PIX_FMT_YUV444P, 0, 0, false}, {AV_PIX_FMT_YUVJ444P, 0, 0, true},
      {AV_PIX_FMT_YUV411P, 2, 0, false}, {AV_PIX_FMT_YUV410P, 2, 2, false},
      {AV_PIX_FMT_YUV440P, 0, 1, false}, {AV_PIX_FMT_YUVJ440P, 0, 1, true},
      {AV_PIX_FMT_YUVA420P, 1, 1, false}};
  struct TPacked {
    int Format, Bytes, R, G, B;
  };
  static const TPacked packed[] = {
      {AV_PIX_FMT_RGB24, 3, 0, 1, 2}, {AV_PIX_FMT_BGR24, 3, 2, 1, 0},
      {AV_PIX_FMT_RGBA, 4, 0, 1, 2},  {AV_PIX_FMT_BGRA, 4, 2, 1, 0},
      {AV_PIX_FMT_ARGB, 4, 1, 2, 3},  {AV_PIX_FMT_ABGR, 4, 3, 2, 1},
      {AV_PIX_FMT_RGB0, 4, 0, 1, 2},  {AV_PIX_FMT_BGR0, 4, 2, 1, 0},
      {AV_PIX_FMT_0RGB, 4, 1, 2, 3},  {AV_PIX_FMT_0BGR, 4, 3, 2, 1}};
  if (!picture || width <= 0 || height <= 0) return;
  for (const TPlanar& p : planar)
    if (p.Format == pixFmt) {
      Kind = kPlanarYuv;
      ShiftW = p.ShiftW;
      ShiftH = p.ShiftH;
      FullRange = p.Full;
    }
  if (pixFmt == AV_PIX_FMT_NV12 || pixFmt == AV_PIX_FMT_NV21) {
    Kind = kSemiPlanar;
    ShiftW = ShiftH = 1;
    SwapUV = pixFmt == AV_PIX_FMT_NV21;
  }
  if (pixFmt == AV_PIX_FMT_GRAY8) Kind = kGray;
  for (const TPacked& p : packed)
    if (p.Format == pixFmt) {
      Kind = kPacked;
      Bytes = p.Bytes;
      R = p.R;
      G = p.G;
      B = p.B;
      FullRange = true;
    }
}

void THookCanvas::Blend(const TArgbImage& image, int x, int y, double opacity) {
  Paint(image, x, y, opacity, false);
}

void THookCanvas::Emboss(const TArgbImage& image, int x, int y) { Paint(image, x, y, 1.0, true); }

void THookCanvas::Paint(const TArgbImage& image, int x0, int y0, double opacity, bool emboss) {
  if (!Supported() || image.Width <= 0 || image.Height <= 0) return;
  const int left = std::max(x0, 0), top = std::max(y0, 0);
  const int right = std::min(x0 + image.Width, Width), bottom = std::min(y0 + image.Height, Height);
  if (left >= right || top >= bottom) return;
  auto alphaOf = [&](uint32_t argb) {
    return emboss ? ((argb >> 24) > 127 ? 1.0 : 0.0) : opacity * (argb >> 24) / 255.0;
  };
  if (Kind == kPacked) {
    for (int py = top; py < bottom; ++py) {
      uint8_t* row = Picture->Data[0] + static_cast<ptrdiff_t>(py) * Picture->LineSize[0];
      for (int px = left; px < right; ++px) {
        const uint32_t argb = image.At(px - x0, py - y0);
        const double a = alphaOf(argb);
        if (a <= 0) continue;
        uint8_t* pixel = row + px * Bytes;
        const double shade = Brightness(argb) - 128;
        const int channels[3] = {R, G, B};
        for (int c = 0; c < 3; ++c) {
          const double src = (argb >> (16 - 8 * c)) & 255;
          const double dst = pixel[channels[c]];
          pixel[channels[c]] = Clip(emboss ? dst + shade : src * a + dst * (1 - a));
        }
      }
    }
    return;
  }
  // Luma.
  for (int py = top; py < bottom; ++py) {
    uint8_t* row = Picture->Data[0] + static_cast<ptrdiff_t>(py) * Picture->LineSize[0];
    for (int px = left; px < right; ++px) {
      const uint32_t argb = image.At(px - x0, py - y0);
      const double a = alphaOf(argb);
      if (a <= 0) continue;
      if (emboss) {
        row[px] = Clip(row[px] + (Brightness(argb) - 128) * (FullRange ? 1.0 : 219.0 / 255.0));
        continue;
      }
      double yy, u, v;
      ToYuv((argb >> 16) & 255, (argb >> 8) & 255, argb & 255, FullRange, yy, u, v);
      row[px] = Clip(yy * a + row[px] * (1 - a));
    }
  }
  if (Kind == kGray || emboss) return;  // embossing keeps the colours
  // Chroma: each sample takes the average colour and coverage of its pixels.
  const int cw = 1 << ShiftW, ch = 1 << ShiftH;
  for (int cy = top >> ShiftH; cy <= (bottom - 1) >> ShiftH; ++cy) {
    for (int cx = left >> ShiftW; cx <= (right - 1) >> ShiftW; ++cx) {
      double sumA = 0, sumU = 0, sumV = 0;
      int count = 0;
      for (int dy = 0; dy < ch; ++dy)
        for (int dx = 0; dx < cw; ++dx) {
          const int px = (cx << ShiftW) + dx, py = (cy << ShiftH) + dy;
          if (px >= Width || py >= Height) continue;
          ++count;
          if (px < left || px >= right || py < top || py >= bottom) continue;
          const uint32_t argb = image.At(px - x0, py - y0);
          const double a = alphaOf(argb);
          if (a <= 0) continue;
          double yy, u, v;
          ToYuv((argb >> 16) & 255, (argb >> 8) & 255, argb & 255, FullRange, yy, u, v);
          sumA += a;
          sumU += a * u;
          sumV += a * v;
        }
      if (sumA <= 0 || count == 0) continue;
      uint8_t *pu, *pv;
      if (Kind == kSemiPlanar) {
        uint8_t* row = Picture->Data[1] + static_cast<ptrdiff_t>(cy) * Picture->LineSize[1];
        pu = row + 2 * cx + (SwapUV ? 1 : 0);
        pv = row + 2 * cx + (SwapUV ? 0 : 1);
      } else {
        pu = Picture->Data[1] + static_cast<ptrdiff_t>(cy) * Picture->LineSize[1] + cx;
        pv = Picture->Data[2] + static_cast<ptrdiff_t>(cy) * Picture->LineSize[2] + cx;
      }
      const double keep = (count - sumA) / count;
      *pu = Clip(sumU / count + *pu * keep);
      *pv = Clip(sumV / count + *pv * keep);
    }
  }
}
