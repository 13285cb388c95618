// Sample ranges of the inputs (SampleRange.h) in the job: the cutters of the
// ranged streams, the seek before a range's start, the cut of each decoded
// frame, the end of the reading once a range went by, and the check that a
// range lay inside the audio.
#include "FFmpeg.h"
#include "Transcode.h"

namespace {

const char* UrlOf(const AVFormatContext* ic) { return ic && ic->url ? ic->url : "input"; }

}  // namespace

void TCustomFFmpeg::SetUpRanges() {
  TTranscodeTables& T = *Tables;
  for (int f = 0; f < Input.FileCount && f < static_cast<int>(Input.Ranges.size()); ++f) {
    const TSampleRange& range = Input.Ranges[static_cast<size_t>(f)];
    if (!range.Set) continue;
    std::vector<TInputStreamEntry*> ranged;
    bool exact = true;
    for (int s = 0; s < T.Files[static_cast<size_t>(f)].StreamCount; ++s) {
      TInputStreamEntry& ist = T.InStreams[static_cast<size_t>(T.Files[static_cast<size_t>(f)].FirstIndex + s)];
      if (ist.Discard || ist.St->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
      if (!ist.DecodingNeeded)
        throw FFmpegException(rcOption,
                              StrFormat("Stream #%d.%d has a sample range: it is cut when decoded "
                                        "and cannot be copied",
                                        f, s));
      ist.Range = std::make_unique<TRangeCutter>(range, ist.St);
      exact = exact && RangeSeekExact(ist.St);
      ranged.push_back(&ist);
    }
    if (ranged.empty() || range.First == 0) continue;
    // One stream, whose frames stand alone and whose timestamps count
    // samples: a seek lands where its first frame says.
    AVFormatContext* ic = Input.Files[f].get();
    if (ranged.size() == 1 && exact && SeekBeforeSample(ic, ranged[0]->Index, range.First)) {
      ranged[0]->Range->Sought();
    } else if (Counters.Verbose > 0) {
      Log(1, StrFormat("Input #%d ('%s'): the start of its range is found by decoding from the "
                       "start",
                       f, UrlOf(ic)));
    }
  }
}

bool TCustomFFmpeg::CutToRange(TInputStreamEntry& ist, AVFrame* frame) {
  TTranscodeTables& T = *Tables;
  TRangeCutter& cut = *ist.Range;
  const int file = ist.FileIndex;
  const AVRational tb = ist.St->time_base;
  // The frame's timestamp as the file has it: the offset the main loop added
  // to its packets taken off again (a scaled clock has none to trust).
  int64_t pts = ist.FramePts;
  const bool scaled = file < static_cast<int>(Input.TSScales.size()) && ist.Index < MAX_STREAMS &&
                      Input.TSScales[static_cast<size_t>(file)][static_cast<size_t>(ist.Index)] != 0;
  if (pts != AV_NOPTS_VALUE)
    pts = scaled ? AV_NOPTS_VALUE : pts - av.av_rescale_q(Input.TSOffsets[file], MICROSECONDS, tb);
  const TRangeCutter::TVerdict verdict = cut.Cut(frame, pts);
  if (verdict == TRangeCutter::cvRestart) {
    AVFormatContext* ic = Input.Files[file].get();
    if (!SeekToStart(ic, ist.Index))
      throw FFmpegException(rcSourceFormat,
                            StrFormat("'%s': the seek before sample %lld did not land where it "
                                      "should, and the file cannot be read from its start again",
                                      UrlOf(ic), static_cast<long long>(cut.Value().First)));
    for (TInputStreamEntry& other : T.InStreams) {
      if (other.FileIndex != file || !other.DecodingNeeded) continue;
      av.avcodec_flush_buffers(other.Dec);
      if (other.Range) other.Range->Restarted();
    }
    if (Counters.Verbose > 0)
      Log(1, StrFormat("Input #%d ('%s'): the seek before sample %lld did not land exactly; the "
                       "range is found by decoding from the start",
                       file, UrlOf(ic), static_cast<long long>(cut.Value().First)));
    return false;
  }
  const bool kept = verdict == TRangeCutter::cvKeep;
  if (kept) {
    if (cut.Kept() == frame->nb_samples && Counters.Verbose > 0)
      Log(1, StrFormat("Input #%d: the range %s starts; read from sample %lld", file,
                       SampleRangeText(cut.Value().First, cut.Value().End).c_str(),
                       static_cast<long long>(cut.ReadFrom())));
    // The stream's clock from here on is the range's.
    const AVRational samples{1, ist.St->codecpar->sample_rate > 0 ? ist.St->codecpar->sample_rate
                                                                  : frame->sample_rate};
    ist.SamplePos = cut.OutPosition();
    ist.Pts = av.av_rescale_q(ist.SamplePos, samples, MICROSECONDS);
    ist.FramePts = av.av_rescale_q(ist.SamplePos, samples, tb);
    ist.NextPts = ist.Pts + av.av_rescale_q(frame->nb_samples, samples, MICROSECONDS);
  }
  // Nothing more of the file is read once every range of it went by.
  bool passed = true;
  for (const TInputStreamEntry& other : T.InStreams)
    if (other.FileIndex == file && other.Range && !other.Range->Passed()) passed = false;
  if (passed) {
    T.Files[static_cast<size_t>(file)].Eof = true;
    T.Files[static_cast<size_t>(file)].RangeEnded = true;
  }
  return kept;
}

void TCustomFFmpeg::CheckRanges() {
  // A stopped job, or a source that could not be read to its end, is told as such.
  if (RunState.StopRequested || Result.ReadError) return;
  for (const TInputStreamEntry& ist : Tables->InStreams) {
    if (!ist.Range || Tables->Files[static_cast<size_t>(ist.FileIndex)].RangeEnded) continue;
    const std::string problem = ist.Range->EndProblem();
    if (!problem.empty())
      throw FFmpegException(rcClip, StrFormat("'%s': %s", UrlOf(Input.Files[ist.FileIndex].get()),
                                              problem.c_str()));
  }
}
