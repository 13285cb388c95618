// Frame hooks: every decoded picture may be deinterlaced, shown to the owner
// as a 24-bit bitmap (custom hook) or run through external hook libraries.
#include <algorithm>
#include <cstring>

#include "FFmpeg.h"
#include "Transcode.h"

namespace {

// The 5-tap (-1 4 2 4 -1)/8 deinterlacer over each 8-bit plane, every line
// blended with its neighbours of the same picture.
bool Deinterlace(const AVFrame* src, AVFrame* dst) {
  const AVPixFmtDescriptor* desc = av.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(src->format));
  if (!desc || !(desc->flags & AV_PIX_FMT_FLAG_PLANAR) || desc->comp[0].depth != 8 ||
      (desc->flags & AV_PIX_FMT_FLAG_RGB) || src->height < 4)
    return false;
  for (int p = 0; p < desc->nb_components && p < 3; ++p) {
    const int height = p ? AV_CEIL_RSHIFT(src->height, desc->log2_chroma_h) : src->height;
    const int width = p ? AV_CEIL_RSHIFT(src->width, desc->log2_chroma_w) : src->width;
    for (int y = 0; y < height; ++y) {
      auto row = [&](int r) {
        r = std::clamp(r, 0, height - 1);
        return src->data[p] + static_cast<ptrdiff_t>(r) * src->linesize[p];
      };
      const uint8_t *a = row(y - 2), *b = row(y - 1), *c = row(y), *d = row(y + 1), *e = row(y + 2);
      uint8_t* out = dst->data[p] + static_cast<ptrdiff_t>(y) * dst->linesize[p];
      for (int x = 0; x < width; ++x) {
        const int v = (-a[x] + 4 * b[x] + 2 * c[x] + 4 * d[x] - e[x] + 4) >> 3;
        out[x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
    }
  }
  return true;
}

}  // namespace

void TCustomFFmpeg::SetHookPeriods(const std::vector<std::pair<int64_t, int64_t>>& periods) {
  RunState.HookPeriods = periods;
  std::stable_sort(RunState.HookPeriods.begin(), RunState.HookPeriods.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  RunState.HookPeriodIndex = 0;
}

void TCustomFFmpeg::AddFrameHook(const std::string& text) {
  const char separator = text.find('|') != std::string::npos ? '|' : ' ';
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos < text.size() && parts.size() < 63) {
    size_t end = text.find(separator, pos);
    if (end == std::string::npos) end = text.size();
    if (end > pos) parts.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& part : parts) argv.push_back(part.data());
  argv.push_back(nullptr);
  if (FrameHookAdd(RunState.Hooks, static_cast<int>(parts.size()), argv.data()) != 0)
    throw FFmpegException("Failed to add video hook function: " + text);
  RunState.HookingEnabled = true;
}

void TCustomFFmpeg::ReleaseFrameHooks() { FrameHookRelease(RunState.Hooks); }

bool TCustomFFmpeg::CallHookOwner(const char* event, const std::function<void()>& call) {
  // The owner's failure is logged; the conversion goes on.
  try {
    call();
    return true;
  } catch (const std::exception& e) {
    Log(0, StrFormat("Error occurs %s: %s", event, e.what()));
  } catch (...) {
    Log(0, StrFormat("Error occurs %s: unknown error", event));
  }
  return false;
}

bool TCustomFFmpeg::FrameToBitmap(TFrameConverter& converter, const AVFrame* picture) {
  const int width = picture->width, height = picture->height;
  if (width <= 0 || height <= 0) return false;
  if (!converter.Bitmap || converter.Bitmap->GetWidth() != width ||
      converter.Bitmap->GetHeight() != height)
    converter.Bitmap = std::make_unique<TBitmap>(width, height);
  const uint8_t* rows = picture->data[0];
  int stride = picture->linesize[0];
  if (picture->format != converter.DestPixFmt) {
    const int needed = av.av_image_get_buffer_size(AV_PIX_FMT_BGR24, width, height, 1);
    if (needed <= 0) return false;
    if (converter.Buffer.size() < static_cast<size_t>(needed)) converter.Buffer.resize(needed);
    av.av_image_fill_arrays(converter.Data, converter.LineSize, converter.Buffer.data(),
                            AV_PIX_FMT_BGR24, width, height, 1);
    converter.ToBitmap.reset(av.sws_getCachedContext(
        converter.ToBitmap.release(), width, height, static_cast<AVPixelFormat>(picture->format),
        width, height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!converter.ToBitmap) {
      Log(0, "Cannot initialize the toRGB conversion context");
      return false;
    }
    av.sws_scale(converter.ToBitmap.get(), picture->data, picture->linesize, 0, height,
                 converter.Data, converter.LineSize);
    rows = converter.Data[0];
    stride = converter.LineSize[0];
  }
  converter.Source = picture;
  for (int y = 0; y < height; ++y)
    std::memcpy(converter.Bitmap->Scanline(y), rows + static_cast<ptrdiff_t>(y) * stride,
                static_cast<size_t>(width) * 3);
  return true;
}

void TCustomFFmpeg::RunCustomHook(AVFrame* picture, int64_t pts) {
  TFrameConverter& converter = RunState.HookConverter;
  const bool ok = FrameToBitmap(converter, picture);
  bool stop = !ok;
  bool update = false;
  if (ok) {
    update = true;
    TBitmap* bitmap = converter.Bitmap.get();
    bitmap->Lock();
    if (!CallHookOwner("OnCustomHook", [&] {
          OnCustomHook(this, bitmap, RunState.HookFrameCounter, pts, update, stop);
        }))
      update = false;
    bitmap->Unlock();
  }
  if (update) {
    const int width = picture->width, height = picture->height;
    if (picture->format == AV_PIX_FMT_BGR24) {
      for (int y = 0; y < height; ++y)
        std::memcpy(picture->data[0] + static_cast<ptrdiff_t>(y) * picture->linesize[0],
                    converter.Bitmap->Scanline(y), static_cast<size_t>(width) * 3);
    } else {
      for (int y = 0; y < height; ++y)
        std::memcpy(converter.Data[0] + static_cast<ptrdiff_t>(y) * converter.LineSize[0],
                    converter.Bitmap->Scanline(y), static_cast<size_t>(width) * 3);
      converter.FromBitmap.reset(av.sws_getCachedContext(
          converter.FromBitmap.release(), width, height, AV_PIX_FMT_BGR24, width, height,
          static_cast<AVPixelFormat>(picture->format), SWS_BICUBIC, nullptr, nullptr, nullptr));
      if (!converter.FromBitmap) {
        Log(0, "Cannot initialize the fromRGB conversion context");
        stop = true;
      } else {
        av.sws_scale(converter.FromBitmap.get(), converter.Data, converter.LineSize, 0, height,
                     picture->data, picture->linesize);
      }
    }
  }
  if (stop) {
    OnCustomHook = nullptr;
    RunState.HookAction = haStop;
    RunState.HookingEnabled = false;
  }
}

AVFrame* TCustomFFmpeg::PreProcessVideoFrame(TInputStreamEntry& ist, AVFrame* frame) {
  RunState.HookFrameCounter++;
  const int64_t pts = ist.Pts;
  // Which pictures the external hooks see.
  if (!OnCustomHook && RunState.HookingEnabled) {
    if (OnBeforeHook) {
      THookAction action = static_cast<THookAction>(RunState.HookAction);
      if (!CallHookOwner("OnBeforeHook", [&] { OnBeforeHook(this, pts, action); }))
        action = haStop;
      RunState.HookAction = action;
      if (action == haStop) RunState.HookingEnabled = false;
    } else if (!RunState.HookPeriods.empty()) {
      auto& periods = RunState.HookPeriods;
      RunState.HookAction = haIgnore;
      for (size_t i = static_cast<size_t>(RunState.HookPeriodIndex); i < periods.size(); ++i) {
        if (periods[i].first <= pts && pts <= periods[i].second) {
          RunState.HookPeriodIndex = static_cast<int>(i);
          RunState.HookAction = haContinue;
          break;
        }
        if (i + 1 == periods.size() && pts > periods[i].second) {
          RunState.HookAction = haStop;
          RunState.HookingEnabled = false;
        }
      }
    }
  }
  const bool hooks = RunState.HookingEnabled && RunState.HookAction == haContinue;
  if (!Video.Deinterlace && !OnCustomHook && !hooks) return frame;

  // A working copy the hooks may change: the decoder keeps its own pictures.
  if (!ist.HookPicture || ist.HookPicture->width != frame->width ||
      ist.HookPicture->height != frame->height || ist.HookPicture->format != frame->format) {
    FramePtr copy(av.av_frame_alloc());
    if (copy) {
      copy->format = frame->format;
      copy->width = frame->width;
      copy->height = frame->height;
      if (av.av_frame_get_buffer(copy.get(), 0) < 0) copy.reset();
    }
    if (!copy) {
      Log(0, "hook buf malloc error.");
      return frame;
    }
    ist.HookPicture = std::move(copy);
  }
  AVFrame* work = ist.HookPicture.get();
  if (av.av_frame_make_writable(work) < 0) {
    Log(0, "hook buf malloc error.");
    return frame;
  }
  bool copied = false;
  if (Video.Deinterlace) {
    copied = Deinterlace(frame, work);
    if (!copied) Log(0, "Deinterlacing failed.");
  }
  if (!copied) {
    if (Video.Deinterlace) {
      work = frame;  // hooks work on the decoded picture itself
      if (av.av_frame_make_writable(work) < 0) return frame;
    } else {
      av.av_frame_copy(work, frame);
    }
  }
  if (work != frame) {
    av.av_frame_copy_props(work, frame);
  }
  if (OnCustomHook) {
    RunCustomHook(work, pts);
  } else if (hooks) {
    THookPicture picture{};
    for (int p = 0; p < 4; ++p) {
      picture.Data[p] = work->data[p];
      picture.LineSize[p] = work->linesize[p];
    }
    FrameHookProcess(RunState.Hooks, &picture, work->format, work->width, work->height, pts);
  }
  return work;
}
