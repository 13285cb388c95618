// TCustomAVProbe / TAVProbe: the media probe. It opens a media file without
// converting it (or is attached to an input that an engine opened) and answers
// questions about it: stream counts, format, size, duration, bit rate, tags,
// a multi-line info text and the parameters of a video stream. TAVProbe can
// also seek and decode one video picture into a 24-bit bitmap.
//
// Ownership: a file opened with Open belongs to the probe and is closed by
// Close, by the next Open/Attach and by destruction. A context given to Attach
// stays its owner's: the probe never closes it, never seeks it and never reads
// packets from it. The bitmaps belong to the probe.
//
// Threads: one probe is used on one thread (the main thread in the
// application). Stream probing and decoder open/close hold CodecLock, because
// conversion tasks open codecs at the same time on worker threads. The calls
// read the fields of an attached context: its owner must not change it (open,
// close, seek) while a call runs.
//
// Failures: Open returns false and leaves the reason in LastError(); a FIFO,
// a device, a folder or an empty file is refused before it is opened. Open and
// Attach throw EAVProbeError when a media library is not loaded ("LibAVCodec
// not loaded." ...); Seek and ReadVideoFrame throw it on an attached context.
// Descriptive calls without a file return empty or -1 values. Notes go to the
// media libraries' logger (av_log without a context) with level 1 for "file
// not loaded.", 2 for "stream eof reached." and 0 for every other message.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "Bitmap.h"
#include "Deleters.h"
#include "InputGuard.h"
#include "LegacyText.h"
#include "OpenedInput.h"

// What the probe throws: a library is missing, or the call is not allowed on
// an attached (read-only) context.
class EAVProbeError : public std::runtime_error {
 public:
  explicit EAVProbeError(const std::string& message) : std::runtime_error(message) {}
};

// Filled by GetFileInfo. Texts are UTF-8, cut at a character boundary to at
// most 511 bytes (tags) or 31 bytes (genre).
struct TFileInfo {
  int64_t StartTime = -1;  // µs; -1 when the file has none
  int64_t Duration = -1;   // µs; -1 when unknown
  int32_t BitRate = -1;    // bits per second; 0 when the file states none
  int64_t TimeStamp = -1;  // seconds since 1970 ("creation_time" tag); 0 when none
  std::string Title, Author, Copyright, Comment, Album;
  int32_t Year = -1;   // 0 when none
  int32_t Track = -1;  // 0 when none
  std::string Genre;
};

// Filled by GetVideoStreamInfo; every number stays -1 (the aspect -1.0) and
// every text empty when the stream cannot be described.
struct TVideoStreamInfo {
  std::string Language;                      // at most 3 bytes
  std::string CodecName;                     // at most 31 bytes
  int64_t StartTime = -1, StartTimeUs = -1;  // stream units, µs; -1 when not set
  int64_t Duration = -1, DurationUs = -1;    // stream units, µs; -1 when not set
  int32_t BitRate = -1;
  int32_t Height = -1;
  int32_t Width = -1;
  float DisplayAspectRatio = -1.0f;  // sample aspect × width / height
  int32_t PixelFormat = -1;          // AVPixelFormat
  int32_t RealFrameRateNum = -1, RealFrameRateDen = -1;
};

class TCustomAVProbe {
 public:
  TCustomAVProbe();
  virtual ~TCustomAVProbe();
  TCustomAVProbe(const TCustomAVProbe&) = delete;
  TCustomAVProbe& operator=(const TCustomAVProbe&) = delete;

  // Opens fileName, with the input format formatName ("" = let the library
  // guess), and probes its streams. False with LastError() on failure; the
  // probe then holds no file.
  bool Open(const std::string& fileName, const std::string& formatName = "");
  // Describes a context that someone else opened and keeps owning; a null
  // context leaves the probe without a file.
  virtual void Attach(AVFormatContext* context);
  // Forgets the file (closes it when the probe opened it). Safe to repeat.
  virtual void Close();
  // Hands the file Open opened to a job that reads it next (OpenedInput.h)
  // and forgets it; empty when the probe holds no file of its own or opened
  // it with a forced format, or read from it since (then it just forgets it).
  TOpenedInput HandOver();

  TFileInfo GetFileInfo();
  // streamIndex -1: the first video stream.
  TVideoStreamInfo GetVideoStreamInfo(int streamIndex = -1);
  // The "Source Media File Info" text: lines joined by "\n", no final break.
  std::string GetInfoText();
  std::string GetFileName();
  // The format name given to Open ("" when the library guessed the format).
  std::string GetFormatName() const { return FormatName; }
  // Bytes; -1 without a file.
  int64_t GetFileSize();

  // "%.2d:%.2d:%.2d.%.3d" (hours, minutes, seconds, milliseconds) of µs.
  static std::string FormatDuration(int64_t microseconds);
  // "%.2f GB" / "%.2f MB" / "%.2f KB" above each unit, else "%d Byte".
  static std::string FormatFileSize(int64_t bytes);

  const std::string& LastError() const { return LastErrorText; }
  // A flag that, once set (from any thread or a signal handler), ends the
  // opening of a file at once (null: none). Opening is bounded in time and
  // bytes in any case (TInputGuard).
  void SetAbortFlag(const std::atomic<bool>* flag) { AbortFlag = flag; }
  // How Open reads tags that claim Latin-1 (GBK, Big5 ... in ID3v1, ID3v2,
  // APE, RIFF INFO): repaired in the file's tags that every call reports
  // (RepairInputTags). Kept for every later Open; auto by default. An
  // attached context is described as its owner left it.
  void SetTagEncoding(TTagEncoding encoding) { TagEncoding = encoding; }
  TTagEncoding GetTagEncoding() const { return TagEncoding; }
  bool OwnsContext() const { return OwnedContext != nullptr; }
  AVFormatContext* FormatContext() const { return Context; }
  // Counts and first indices are -1 while no file is held.
  int StreamCount() const { return Streams; }
  int ProgramCount() const { return Programs; }
  int AudioStreamCount() const { return AudioStreams; }
  int VideoStreamCount() const { return VideoStreams; }
  int SubtitleStreamCount() const { return SubtitleStreams; }
  int FirstAudioStreamIndex() const { return FirstAudio; }
  int FirstVideoStreamIndex() const { return FirstVideo; }
  int FirstSubtitleStreamIndex() const { return FirstSubtitle; }

 protected:
  // Throws EAVProbeError naming the first of avcodec, avformat, avutil and
  // swscale that is not loaded and bound.
  static void CheckLibraries();
  // av_log without a context; text is passed through unformatted.
  static void Log(int level, const std::string& text);
  // True when the probe holds a file; otherwise logs "file not loaded.\n".
  bool HasFile();
  // Resolves -1 to the first video stream and checks the index; logs why and
  // returns false when it names no video stream.
  bool ResolveVideoStream(int& streamIndex);
  // True when the input format is "image2" (any case).
  bool IsImage2() const;

  AVFormatContext* Context = nullptr;  // the file; owned through OwnedContext
  bool Moved = false;                  // read or sought since Open: no longer as opened
  std::string LastErrorText;
  std::string FormatName;

 private:
  void CountStreams();
  std::string StreamLine(int index);

  const std::atomic<bool>* AbortFlag = nullptr;
  TTagEncoding TagEncoding = teAuto;
  std::unique_ptr<TInputGuard> Guard;  // outlives the context it limits
  InputFormatPtr OwnedContext;
  TFileIdentity OpenedIdentity;  // the file just before Open opened it
  std::string TagsReadAs;        // what Open's tag repair answered
  int Streams = -1, Programs = -1;
  int AudioStreams = -1, VideoStreams = -1, SubtitleStreams = -1;
  int FirstAudio = -1, FirstVideo = -1, FirstSubtitle = -1;
};

class TAVProbe : public TCustomAVProbe {
 public:
  TAVProbe() = default;
  ~TAVProbe() override;

  void Close() override;

  // Positions the file at time (µs; negative = 0) on streamIndex (-1: the
  // first video, else audio, else subtitle stream, else the file as a whole).
  // True when positioned, or for an "image2" file, which is never seeked.
  // False without a file, for an invalid index or when the library cannot
  // seek there. Throws EAVProbeError on an attached context.
  bool Seek(int streamIndex, int64_t time);
  // Decodes the next picture of streamIndex (-1: the first video stream) into
  // the frame bitmap and returns it: 0 × 0 when there is no picture to show,
  // black at the end of the stream. An "image2" picture is decoded once and
  // then returned unchanged. The bitmap stays the probe's; it changes with
  // the next call. Throws EAVProbeError on an attached context.
  TBitmap& ReadVideoFrame(int streamIndex = -1);
  // A copy of the last picture decoded (null before the first one).
  const TBitmap* LastFrame() const { return FrameCopy.get(); }

 private:
  // Makes Decoder the decoder of streamIndex; false (logged) when impossible.
  bool OpenDecoder(int streamIndex);
  void CloseDecoder();
  // Leaves message in LastError(), logs it and throws it: the call is not
  // allowed on an attached context.
  [[noreturn]] void RefuseReadOnly(const char* message);
  // Copies a decoded picture into the frame bitmap as 24-bit BGR.
  bool PictureToBitmap(const AVFrame* picture);

  CodecContextPtr Decoder;
  int DecoderStream = -1;
  SwsPtr ToRGB;
  TBitmap FrameBitmap;
  std::unique_ptr<TBitmap> FrameCopy;
  bool StillImage = false;
};
