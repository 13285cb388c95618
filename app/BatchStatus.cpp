#include "BatchStatus.h"

#include <QCoreApplication>
#include <algorithm>

QString SizeText(int64_t bytes) {
  if (bytes < 1024) return QString::number(std::max<int64_t>(bytes, 0)) + " B";
  static const char* const units[] = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  // One decimal below 10 ("3.4 MB"); whole numbers above ("34 MB"), cut, not
  // rounded up into the next unit.
  const QString number = value < 10 ? QString::number(static_cast<int64_t>(value * 10) / 10.0, 'f', 1)
                                    : QString::number(static_cast<int64_t>(value));
  return number + " " + units[unit];
}

QString DurationText(int64_t ms) {
  const int64_t s = std::max<int64_t>(ms, 0) / 1000;
  if (s >= 3600)
    return QString::asprintf("%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                             static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  return QString::asprintf("%lld:%02lld", static_cast<long long>(s / 60),
                           static_cast<long long>(s % 60));
}

QString RunningText(const TBatchFigures& f, int64_t elapsedMs, int64_t leftMs, bool paused) {
  QString text =
      QCoreApplication::translate("BatchStatus", "已完成 %1/%2").arg(f.Converted).arg(f.Files);
  if (f.Failed > 0) text += QCoreApplication::translate("BatchStatus", "，失败 %1").arg(f.Failed);
  if (f.UpToDate > 0)
    text += QCoreApplication::translate("BatchStatus", "，已是最新 %1").arg(f.UpToDate);
  text += QCoreApplication::translate("BatchStatus", " · %1% · 已用 %2")
              .arg(f.Percent)
              .arg(DurationText(elapsedMs));
  if (leftMs >= 0)
    text += QCoreApplication::translate("BatchStatus", " · 剩余约 %1").arg(DurationText(leftMs));
  else if (!paused)
    text += QCoreApplication::translate("BatchStatus", " · 正在估算剩余时间");
  if (paused) text += QCoreApplication::translate("BatchStatus", " · 已暂停");
  return text;
}

QString SummaryText(const TBatchFigures& f, bool stopped) {
  QString text = QCoreApplication::translate("BatchStatus", "%1 个完成").arg(f.Converted);
  if (f.Partial > 0)
    text += QCoreApplication::translate("BatchStatus", "（%1 个源文件损坏）").arg(f.Partial);
  if (f.Failed > 0) text += QCoreApplication::translate("BatchStatus", "，%1 个失败").arg(f.Failed);
  if (f.UpToDate > 0)
    text += QCoreApplication::translate("BatchStatus", "，%1 个已是最新").arg(f.UpToDate);
  if (stopped)
    text =
        QCoreApplication::translate("BatchStatus", "已停止：%1，%2 个未转换").arg(text).arg(f.Left);
  return text;
}
