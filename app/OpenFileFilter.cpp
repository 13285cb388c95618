#include "OpenFileFilter.h"

#include <QCoreApplication>
#include <set>
#include <string>

#include "FFmpegLoader.h"
#include "LibAV.h"

namespace {

QStringList Split(const char* list) {
  if (!list) return {};
  return QString::fromUtf8(list).toLower().split(',', Qt::SkipEmptyParts);
}

// Readers and writers of pictures (one per picture format), text, subtitles
// and lyrics.
bool HoldsNoMedia(const char* name, const char* longName) {
  const QString n = QString::fromUtf8(name ? name : "");
  const QString l = QString::fromUtf8(longName ? longName : "").toLower();
  return n == "image2" || n == "image2pipe" || n.endsWith("_pipe") || n == "tty" ||
         n == "ffmetadata" || l.contains("subtitle") || l.contains("caption") ||
         l.contains("lyrics");
}

}  // namespace

QStringList ReadableExtensions() {
  if (!FFmpegLoader().LibrariesLoaded(ENGINE_LIBRARIES) || !av.av_demuxer_iterate) return {};
  std::set<QString> extensions;
  std::set<QString> readers;  // the names readers go by ("mov", "mp4", "ogg", ...)
  void* state = nullptr;
  while (const AVInputFormat* reader = av.av_demuxer_iterate(&state)) {
    if (HoldsNoMedia(reader->name, reader->long_name)) continue;
    for (const QString& name : Split(reader->name)) readers.insert(name);
    for (const QString& ext : Split(reader->extensions)) extensions.insert(ext);
  }
  state = nullptr;
  while (const AVOutputFormat* writer = av.av_muxer_iterate(&state)) {
    if (HoldsNoMedia(writer->name, writer->long_name)) continue;
    const QString family =
        QString::fromUtf8(writer->long_name ? writer->long_name : "").section(' ', 0, 0).toLower();
    if (!readers.count(QString::fromUtf8(writer->name)) && !readers.count(family)) continue;
    for (const QString& ext : Split(writer->extensions)) extensions.insert(ext);
  }
  return QStringList(extensions.begin(), extensions.end());
}

QString OpenFileFilter() {
  QStringList patterns;
  for (const QString& ext : ReadableExtensions()) patterns << "*." + ext;
  if (!patterns.isEmpty()) patterns << "*.cue";  // a disc image's tracks
  QStringList entries;
  if (!patterns.isEmpty())
    entries << QCoreApplication::translate("OpenFileFilter", "所有支持的格式 (%1)")
                   .arg(patterns.join(' '));
  entries << "Media Player Files(*.wma)"
          << "RM(*.rm)"
          << "Ogg Vorbis Files(*.ogg)"
          << QCoreApplication::translate("OpenFileFilter", "CUE 分轨 (*.cue)")
          << QCoreApplication::translate("OpenFileFilter", "所有文件 (*)");
  return entries.join(";;");
}
