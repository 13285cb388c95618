#include "ReasonText.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <cstdint>

#include "BatchStatus.h"

namespace {

struct TReasonRow {
  const char* Text;
  bool DetailAdds;  // the English reason names what the text does not
};

// Indexed by the code.
constexpr TReasonRow REASONS[REASON_CODE_COUNT] = {
    /* rcNone */ {QT_TRANSLATE_NOOP("ReasonText", "转换完成"), false},
    /* rcStopped */ {QT_TRANSLATE_NOOP("ReasonText", "转换被停止"), false},
    /* rcSourceMissing */ {QT_TRANSLATE_NOOP("ReasonText", "找不到源文件"), false},
    /* rcSourceDenied */ {QT_TRANSLATE_NOOP("ReasonText", "没有读取源文件的权限"), false},
    /* rcSourceNotFile */
    {QT_TRANSLATE_NOOP("ReasonText", "源不是普通文件（是文件夹、管道或设备）"), false},
    /* rcSourceEmpty */ {QT_TRANSLATE_NOOP("ReasonText", "源文件是空的（0 字节）"), false},
    /* rcSourceChanged */
    {QT_TRANSLATE_NOOP("ReasonText", "源文件在添加后被更改或替换，请重新添加"), false},
    /* rcSourceFormat */
    {QT_TRANSLATE_NOOP("ReasonText", "无法识别源文件的格式，或文件头已损坏"), true},
    /* rcNoAudio */ {QT_TRANSLATE_NOOP("ReasonText", "源文件中没有可解码的声音或画面"), false},
    /* rcSourceDamaged */
    {QT_TRANSLATE_NOOP("ReasonText", "源文件已损坏，已转换可读取的部分"), false},
    /* rcSourceShort */
    {QT_TRANSLATE_NOOP("ReasonText", "源文件比其标明的长度短，已转换现有的部分"), false},
    /* rcOutputOpen */
    {QT_TRANSLATE_NOOP("ReasonText", "无法创建输出文件，请检查输出文件夹及其权限"), true},
    /* rcOutputWrite */ {QT_TRANSLATE_NOOP("ReasonText", "写入输出文件失败"), true},
    /* rcDiskFull */ {QT_TRANSLATE_NOOP("ReasonText", "磁盘空间不足"), false},
    /* rcNameTooLong */
    {QT_TRANSLATE_NOOP("ReasonText", "输出文件名太长，文件系统不接受"), true},
    /* rcOption */
    {QT_TRANSLATE_NOOP("ReasonText", "转换设置中有编码器不接受的选项或值"), true},
    /* rcCodec */ {QT_TRANSLATE_NOOP("ReasonText", "无法打开编码器或解码器"), true},
    /* rcClip */ {QT_TRANSLATE_NOOP("ReasonText", "所选的片段超出了源文件的范围"), true},
    /* rcNotConvertible */
    {QT_TRANSLATE_NOOP("ReasonText", "没有可转换的声音（或只是一张图片）"), true},
    /* rcInternal */ {QT_TRANSLATE_NOOP("ReasonText", "转换时发生内部错误"), true},
    /* rcCueSheet */ {QT_TRANSLATE_NOOP("ReasonText", "CUE 文件无法使用"), true},
};

const TReasonRow& Row(TReasonCode code) {
  const int index = code >= 0 && code < REASON_CODE_COUNT ? code : rcInternal;
  return REASONS[index];
}

// Source time as the engine tells it: "m:ss", "h:mm:ss".
QString Clock(int64_t us) { return DurationText(std::max<int64_t>(us, 0) / 1000); }

}  // namespace

QString ReasonCodeText(TReasonCode code) {
  return QCoreApplication::translate("ReasonText", Row(code).Text);
}

bool ReasonDetailAdds(TReasonCode code) { return Row(code).DetailAdds; }

QString DamageText(const TSourceDamage& d) {
  QStringList parts;
  // Whole seconds rounded to the nearest, as the engine does for lengths.
  auto rounded = [](int64_t us) { return Clock(us + 500000); };
  if (d.ReadErrorAt >= 0)
    parts << QCoreApplication::translate("ReasonText", "在 %1 处读取出错，已转换到该处")
                 .arg(Clock(d.ReadErrorAt));
  if (d.Lost > 0) {
    const double seconds = static_cast<double>(d.Lost) / 1000000.0;
    parts << QCoreApplication::translate("ReasonText", "在 %1 处丢失 %2 秒")
                 .arg(rounded(d.FirstLoss))
                 .arg(seconds, 0, 'f', seconds < 0.095 ? 2 : 1);
  } else if (d.SkippedPackets > 0) {
    const int packets = static_cast<int>(std::min<int64_t>(d.SkippedPackets, INT32_MAX));
    parts << QCoreApplication::translate("ReasonText", "跳过 %n 个损坏的数据包", nullptr, packets);
  }
  if (d.SourceEnd >= 0)
    parts << QCoreApplication::translate("ReasonText", "源文件在 %1 处结束（标明的长度为 %2）")
                 .arg(rounded(d.SourceEnd), rounded(d.StatedLength));
  return parts.join(QCoreApplication::translate("ReasonText", "；"));
}

QString FileReasonText(const TBatchFile& file) {
  switch (file.Outcome) {
    case foPartial: {
      const QString damage = DamageText(file.Damage);
      if (damage.isEmpty()) return ReasonCodeText(file.Code);
      return (file.Code == rcSourceShort
                  ? QCoreApplication::translate("ReasonText", "源文件不完整：%1")
                  : QCoreApplication::translate("ReasonText", "源文件已损坏：%1"))
          .arg(damage);
    }
    case foFailed:
    case foSkipped:
    case foStopped: {
      // A failure without a code of its own is told by its English text.
      const TReasonCode code = file.Code == rcNone ? rcInternal : file.Code;
      QString text = ReasonCodeText(code);
      if (ReasonDetailAdds(code) && !file.Reason.empty())
        text += "\n" + QString::fromStdString(file.Reason);
      return text;
    }
    default:
      return QString();
  }
}
