#include "SampleRange.h"

#include <algorithm>

#include "Text.h"

namespace {

// A whole number, nothing else ("" when empty is allowed is handled by the caller).
bool ReadWhole(const std::string& text, int64_t& out) {
  if (text.empty() || text.size() > 18) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  out = text[0] == '-' ? -value : value;
  return true;
}

// A time base in which every timestamp is a whole number of samples and
// every sample a whole number of ticks: 1/(n·rate).
bool NamesWholeSamples(AVRational tb, int rate) {
  return rate > 0 && tb.num > 0 && tb.den > 0 &&
         static_cast<int64_t>(tb.den) % (static_cast<int64_t>(rate) * tb.num) == 0;
}

bool FramesStandAlone(AVCodecID id) {
  if (id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT) return true;
  switch (id) {
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_WAVPACK:
    case AV_CODEC_ID_APE:
    case AV_CODEC_ID_TTA:
    case AV_CODEC_ID_ALAC:
    case AV_CODEC_ID_TAK:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ParseSampleRange(const std::string& text, TSampleRange& out) {
  const std::string value = Trim(text);
  const size_t colon = value.find(':');
  if (colon == std::string::npos) return false;
  const std::string first = Trim(value.substr(0, colon)), end = Trim(value.substr(colon + 1));
  TSampleRange range;
  range.Set = true;
  if (!ReadWhole(first, range.First) || range.First < 0) return false;
  if (!end.empty() && !ReadWhole(end, range.End)) return false;
  if (range.End < -1 || (range.End >= 0 && range.End <= range.First)) return false;
  out = range;
  return true;
}

std::string SampleRangeText(int64_t first, int64_t end) {
  return std::to_string(first) + ":" + (end >= 0 ? std::to_string(end) : std::string());
}

bool RangeSeekExact(const AVStream* st) {
  const AVCodecParameters* par = st->codecpar;
  return par->codec_type == AVMEDIA_TYPE_AUDIO && FramesStandAlone(par->codec_id) &&
         NamesWholeSamples(st->time_base, par->sample_rate) && st->start_time != AV_NOPTS_VALUE;
}

bool SeekBeforeSample(AVFormatContext* ic, int stream, int64_t first) {
  const AVStream* st = ic->streams[stream];
  const AVRational tb = st->time_base;
  const int64_t target =
      st->start_time + first * (tb.den / (static_cast<int64_t>(st->codecpar->sample_rate) * tb.num));
  // Past the length the file states, the seek would only fail (or land
  // anywhere): the range is found to lie outside the audio by reading.
  if (st->duration != AV_NOPTS_VALUE && st->duration > 0 && target >= st->start_time + st->duration)
    return false;
  if (av.av_seek_frame(ic, stream, target, AVSEEK_FLAG_BACKWARD) >= 0) return true;
  SeekToStart(ic, stream);
  return false;
}

bool SeekToStart(AVFormatContext* ic, int stream) {
  const AVStream* st = ic->streams[stream];
  const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  return av.av_seek_frame(ic, stream, start, AVSEEK_FLAG_BACKWARD) >= 0;
}

TRangeCutter::TRangeCutter(const TSampleRange& range, const AVStream* st)
    : Range(range),
      Rate(st->codecpar->sample_rate),
      TimeBase(st->time_base),
      ExactTime(NamesWholeSamples(st->time_base, st->codecpar->sample_rate)),
      StreamStart(st->start_time) {}

void TRangeCutter::Restarted() {
  Seek = false;
  Started = false;
  Origin = AV_NOPTS_VALUE;
  Next = 0;
  FirstRead = -1;
  KeptAt = KeptCount = 0;
}

TRangeCutter::TVerdict TRangeCutter::Cut(AVFrame* frame, int64_t pts) {
  const int count = frame->nb_samples;
  const bool timed = ExactTime && pts != AV_NOPTS_VALUE;
  const int64_t ticks = ExactTime ? TimeBase.den / (static_cast<int64_t>(Rate) * TimeBase.num) : 1;
  int64_t at;
  if (Seek) {
    // After a seek only the timestamp tells where the frame is.
    Seek = false;
    if (!timed || StreamStart == AV_NOPTS_VALUE) return cvRestart;
    at = (pts - StreamStart) / ticks;
    if (at < 0 || at > Range.First) return cvRestart;
    Origin = StreamStart;
  } else if (!Started) {
    Origin = timed ? pts : AV_NOPTS_VALUE;
    at = 0;
  } else if (timed && Origin != AV_NOPTS_VALUE) {
    at = (pts - Origin) / ticks;
  } else {
    at = Next;
  }
  if (!Started) FirstRead = at;
  Started = true;
  LargestFrame = std::max(LargestFrame, count);
  Next = std::max(Next, at + count);
  const int64_t from = std::max(at, Range.First);
  const int64_t to = Range.End >= 0 ? std::min(at + count, Range.End) : at + count;
  if (to <= from) return cvDrop;
  const int64_t head = from - at;
  if (head > 0) {
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const bool planar = av.av_sample_fmt_is_planar(format);
    const size_t bytes = static_cast<size_t>(head) * av.av_get_bytes_per_sample(format) *
                         static_cast<size_t>(planar ? 1 : channels);
    for (int p = 0; p < (planar ? channels : 1); ++p) {
      frame->extended_data[p] += bytes;
      if (p < AV_NUM_DATA_POINTERS) frame->data[p] = frame->extended_data[p];
    }
  }
  frame->nb_samples = static_cast<int>(to - from);
  KeptAt = from - Range.First;
  KeptCount += to - from;
  return cvKeep;
}

std::string TRangeCutter::EndProblem() const {
  if (!Started) {
    if (Range.First == 0) return "";  // no audio at all: told as such
  } else if (Range.End < 0 || Range.End <= Next) {
    if (Next > Range.First) return "";
  } else {
    const int64_t frame = std::max<int64_t>(LargestFrame, (Rate + 74) / 75);
    if (Next > Range.First && Range.End - Next <= frame) return "";
  }
  if (Next <= Range.First)
    return StrFormat("the range starts at sample %lld, at or past the end of the audio (%lld "
                     "samples)",
                     static_cast<long long>(Range.First), static_cast<long long>(Next));
  return StrFormat("the range ends at sample %lld, past the end of the audio (%lld samples)",
                   static_cast<long long>(Range.End), static_cast<long long>(Next));
}
