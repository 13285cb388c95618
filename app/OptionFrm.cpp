#include "OptionFrm.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include "AVProbe.h"
#include "AppSupport.h"
#include "FFmpegHeaders.h"

namespace {

constexpr int PREVIEW_WIDTH = 176;
constexpr int PREVIEW_HEIGHT = 144;

template <size_t N>
QStringList Items(const std::array<const char*, N>& items) {
  QStringList list;
  for (const char* item : items) list << QString::fromUtf8(item);
  return list;
}

std::string Std(const QString& text) { return text.toStdString(); }

// An edit that is enabled only while its box is ticked.
QLineEdit* FollowingEdit(QCheckBox* box, const QString& text, QWidget* parent) {
  auto* edit = new QLineEdit(text, parent);
  edit->setEnabled(box->isChecked());
  QObject::connect(box, &QCheckBox::toggled, edit, &QWidget::setEnabled);
  return edit;
}

// The picture pop-up: exactly the picture's size; Escape or a click closes it.
class TPicturePopup : public QDialog {
 public:
  TPicturePopup(const QImage& picture, const QString& title, QWidget* parent)
      : QDialog(parent) {
    setWindowTitle(title);
    auto* label = new QLabel(this);
    label->setPixmap(QPixmap::fromImage(picture));
    label->setGeometry(0, 0, picture.width(), picture.height());
    setFixedSize(picture.size());
    setModal(true);
  }

 protected:
  void mousePressEvent(QMouseEvent*) override { accept(); }
};

}  // namespace

void TPreviewImage::mousePressEvent(QMouseEvent* event) {
  QLabel::mousePressEvent(event);
  emit Clicked();
}

TfrmOption::TfrmOption(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Output Options");
  QFont font("Tahoma");
  font.setPixelSize(11);
  setFont(font);
  BuildControls();
  edtOutPath->setText(SAME_AS_INPUT);
  edtImlib2Txt->setText(DEFAULT_HOOK_TEXT);
  edtPaintHookTxt->setText(DEFAULT_HOOK_TEXT);
  FillPicture(imgPreview, ColorFromBGR(PICTURE_FILL));
  ShowClipControls();
  UpdateHookControls();
}

// ---- Building the controls -------------------------------------------------------

void TfrmOption::BuildControls() {
  auto* root = new QVBoxLayout(this);
  grpFormats = new TRadioGroup("Output Formats", Items(FormatItems), 6, this);
  grpFormats->SetItemIndex(DEFAULT_FORMAT_INDEX);
  grpFormats->hide();  // chosen by the main window
  root->addWidget(grpFormats);

  auto* tabs = new QTabWidget(this);
  tabs->addTab(BuildAudioVideoPage(), "Audio / Video");
  tabs->addTab(BuildClipPage(), "Cut a piece clip");
  tabs->addTab(BuildHookPage(), "Video Hook / Filter");
  root->addWidget(tabs);

  auto* folderBox = new QGroupBox("Output Folder", this);
  auto* folderRow = new QHBoxLayout(folderBox);
  edtOutPath = new QLineEdit(folderBox);
  edtOutPath->setReadOnly(true);
  btnOutPath = new QPushButton("...", folderBox);
  btnOutPath->setFixedWidth(32);
  folderRow->addWidget(edtOutPath);
  folderRow->addWidget(btnOutPath);
  root->addWidget(folderBox);
  connect(btnOutPath, &QPushButton::clicked, this, [this] { BrowseOutputFolder(); });

  auto* buttons = new QHBoxLayout();
  chkCopyTimestamp = new QCheckBox("Copy Timestamp (decoding rm/rmvb maybe need this)", this);
  chkOverwrite = new QCheckBox("Overwrite Existing File", this);
  btnOK = new QPushButton("OK", this);
  btnOK->setDefault(true);
  btnCancel = new QPushButton("Cancel", this);
  auto* checks = new QVBoxLayout();
  checks->addWidget(chkCopyTimestamp);
  checks->addWidget(chkOverwrite);
  buttons->addLayout(checks);
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  root->addLayout(buttons);
  connect(btnOK, &QPushButton::clicked, this, &TfrmOption::accept);
  connect(btnCancel, &QPushButton::clicked, this, &TfrmOption::reject);
}

QWidget* TfrmOption::BuildAudioVideoPage() {
  auto* page = new QWidget(this);
  auto* grid = new QGridLayout(page);

  grpAudioChannels = new TRadioGroup("Audio Channel", Items(AudioChannelItems), 3, page);
  grpAudioChannels->SetItemIndex(0);
  grpAudioSampleRate =
      new TRadioGroup("Audio Sample Rate (Hz)", Items(SampleRateItems), 5, page);
  grpAudioSampleRate->SetItemIndex(0);
  grpAudioCodec = new TRadioGroup("Audio Encoder", Items(AudioCodecItems), 5, page);
  grpAudioCodec->SetItemIndex(0);
  grpNorm = new TRadioGroup("Norm(VCD/SVCD/DVD)", Items(NormItems), 3, page);
  grpNorm->SetItemIndex(0);
  grid->addWidget(grpAudioChannels, 0, 0);
  grid->addWidget(grpAudioSampleRate, 1, 0);
  grid->addWidget(grpAudioCodec, 2, 0);
  grid->addWidget(grpNorm, 3, 0);

  auto* volumeRow = new QHBoxLayout();
  chkAudioVolume = new QCheckBox("Adjust Volume", page);
  edtAudioVolume = FollowingEdit(chkAudioVolume, "256", page);
  edtAudioVolume->setToolTip("256=normal");
  volumeRow->addWidget(chkAudioVolume);
  volumeRow->addWidget(edtAudioVolume);
  grid->addLayout(volumeRow, 4, 0);

  auto* rateBox = new QGroupBox("Bit Rate (Kbps)", page);
  auto* rateGrid = new QGridLayout(rateBox);
  chkVideoBitRate = new QCheckBox("Video Bit Rate", rateBox);
  edtVideoBitRate = FollowingEdit(chkVideoBitRate, "200", rateBox);
  chkAudioBitRate = new QCheckBox("Audio Bit Rate", rateBox);
  edtAudioBitRate = FollowingEdit(chkAudioBitRate, "64", rateBox);
  rateGrid->addWidget(chkVideoBitRate, 0, 0);
  rateGrid->addWidget(edtVideoBitRate, 0, 1);
  rateGrid->addWidget(chkAudioBitRate, 1, 0);
  rateGrid->addWidget(edtAudioBitRate, 1, 1);
  grid->addWidget(rateBox, 5, 0);

  auto* sizeBox = new QGroupBox("Video Frame Size", page);
  auto* sizeRow = new QHBoxLayout(sizeBox);
  cboFrameSize = new QComboBox(sizeBox);
  cboFrameSize->addItems(Items(FrameSizeItems));
  cboFrameSize->setCurrentIndex(0);
  sizeRow->addWidget(cboFrameSize);
  grpFrameRate = new TRadioGroup("Video Frame Rate (FPS)", Items(FrameRateItems), 5, page);
  grpFrameRate->SetItemIndex(0);
  grpAspectRatio = new TRadioGroup("Aspect Ratio", Items(AspectRatioItems), 5, page);
  grpAspectRatio->SetItemIndex(0);
  grpVideoCodec = new TRadioGroup("Video Encoder", Items(VideoCodecItems), 4, page);
  grpVideoCodec->SetItemIndex(0);
  grid->addWidget(sizeBox, 0, 1);
  grid->addWidget(grpFrameRate, 1, 1);
  grid->addWidget(grpAspectRatio, 2, 1);
  grid->addWidget(grpVideoCodec, 3, 1);

  auto* edgeBox = new QGroupBox("Crop and Pad", page);
  auto* edgeGrid = new QGridLayout(edgeBox);
  const QStringList sides = {"Top", "Bottom", "Left", "Right"};
  for (int i = 0; i < sides.size(); ++i) edgeGrid->addWidget(new QLabel(sides[i], edgeBox), 0, i + 1);
  chkCrop = new QCheckBox("Crop", edgeBox);
  chkPad = new QCheckBox("Pad", edgeBox);
  QLineEdit** crop[] = {&edtCropTop, &edtCropBottom, &edtCropLeft, &edtCropRight};
  QLineEdit** pad[] = {&edtPadTop, &edtPadBottom, &edtPadLeft, &edtPadRight};
  edgeGrid->addWidget(chkCrop, 1, 0);
  edgeGrid->addWidget(chkPad, 2, 0);
  for (int i = 0; i < 4; ++i) {
    *crop[i] = FollowingEdit(chkCrop, "0", edgeBox);
    *pad[i] = FollowingEdit(chkPad, "0", edgeBox);
    edgeGrid->addWidget(*crop[i], 1, i + 1);
    edgeGrid->addWidget(*pad[i], 2, i + 1);
  }
  grid->addWidget(edgeBox, 4, 1, 2, 1);

  auto* infoBox = new QGroupBox("Source Media File Info", page);
  auto* infoRow = new QHBoxLayout(infoBox);
  memInfo = new QPlainTextEdit(infoBox);
  memInfo->setReadOnly(true);
  memInfo->setMinimumHeight(90);
  infoRow->addWidget(memInfo);
  grid->addWidget(infoBox, 6, 0, 1, 2);
  return page;
}

QWidget* TfrmOption::BuildClipPage() {
  auto* page = new QWidget(this);
  auto* box = new QGroupBox("Cut a piece clip (seconds)", page);
  auto* outer = new QVBoxLayout(page);
  outer->addWidget(box);
  auto* grid = new QGridLayout(box);
  imgPreview = new TPreviewImage(box);
  imgPreview->setFixedSize(PREVIEW_WIDTH, PREVIEW_HEIGHT);
  imgPreview->setAlignment(Qt::AlignCenter);
  imgPreview->setToolTip("Click to view current picture in actual size");
  grid->addWidget(imgPreview, 0, 0, 1, 4, Qt::AlignHCenter);
  trcPreview = new QSlider(Qt::Horizontal, box);
  trcPreview->setTickPosition(QSlider::TicksBelow);
  trcPreview->setRange(0, 0);
  grid->addWidget(trcPreview, 1, 0, 1, 4);
  lblPTS = new QLabel("PTS: ", box);
  grid->addWidget(lblPTS, 2, 0, 1, 4);
  btnSetStart = new QPushButton("Set Start", box);
  btnSetEnd = new QPushButton("Set End", box);
  edtStartTime = new QLineEdit("N/A", box);
  edtStartTime->setReadOnly(true);
  edtEndTime = new QLineEdit("N/A", box);
  edtEndTime->setReadOnly(true);
  grid->addWidget(btnSetStart, 3, 0);
  grid->addWidget(edtStartTime, 3, 1);
  grid->addWidget(btnSetEnd, 3, 2);
  grid->addWidget(edtEndTime, 3, 3);
  chkCutClip = new QCheckBox("Cut Clip", box);
  grid->addWidget(chkCutClip, 4, 0, 1, 4);
  outer->addStretch();

  connect(trcPreview, &QSlider::valueChanged, this, [this](int position) { TimeBarMoved(position); });
  connect(btnSetStart, &QPushButton::clicked, this, [this] { SetStart(); });
  connect(btnSetEnd, &QPushButton::clicked, this, [this] { SetEnd(); });
  connect(imgPreview, &TPreviewImage::Clicked, this, [this] { ShowPicturePopup(); });
  return page;
}

QWidget* TfrmOption::BuildHookPage() {
  auto* page = new QWidget(this);
  auto* outer = new QVBoxLayout(page);

  auto* hookBox = new QGroupBox("Video Hook", page);
  auto* hooks = new QGridLayout(hookBox);
  rdoExternalHook = new QRadioButton("External Standard Hook (please read code of option unit)", hookBox);
  rdoCustomHook = new QRadioButton("Internal Custom Hook (please read code of main unit)", hookBox);
  rdoExternalHook->setChecked(true);
  auto* external = new QButtonGroup(hookBox);
  external->addButton(rdoExternalHook);
  external->addButton(rdoCustomHook);
  chkImlib2Img = new QCheckBox("Imlib2 - Image", hookBox);
  chkImgDancing = new QCheckBox("Dancing", hookBox);
  chkImlib2Txt = new QCheckBox("Imlib2 - Text", hookBox);
  edtImlib2Txt = new QLineEdit(hookBox);
  chkTxtScrolling = new QCheckBox("Scrolling", hookBox);
  chkWaterMark = new QCheckBox("WaterMark", hookBox);
  chkWaterMarkMode = new QCheckBox("Mode 0/1", hookBox);
  chkPaintHookImg = new QCheckBox("DemoHook - Image", hookBox);
  chkPaintHookTxt = new QCheckBox("DemoHook - Text", hookBox);
  edtPaintHookTxt = new QLineEdit(hookBox);
  rdoStandardHook = new QRadioButton("Standard Hook Behavior", hookBox);
  rdoBeforeHook = new QRadioButton("Enable BeforeHook Event", hookBox);
  rdoPTSs = new QRadioButton("PTS Periods", hookBox);
  rdoStandardHook->setChecked(true);
  auto* behaviour = new QButtonGroup(hookBox);
  behaviour->addButton(rdoStandardHook);
  behaviour->addButton(rdoBeforeHook);
  behaviour->addButton(rdoPTSs);
  edtPTSs = new QLineEdit("0-5000,10000-15000", hookBox);
  btnPTSsHelp = new QPushButton("?", hookBox);
  btnPTSsHelp->setFixedWidth(24);

  hooks->addWidget(rdoExternalHook, 0, 0, 1, 3);
  hooks->addWidget(chkImlib2Img, 1, 0);
  hooks->addWidget(chkImgDancing, 1, 1);
  hooks->addWidget(chkImlib2Txt, 2, 0);
  hooks->addWidget(edtImlib2Txt, 2, 1);
  hooks->addWidget(chkTxtScrolling, 2, 2);
  hooks->addWidget(chkWaterMark, 3, 0);
  hooks->addWidget(chkWaterMarkMode, 3, 1);
  hooks->addWidget(chkPaintHookImg, 4, 0);
  hooks->addWidget(chkPaintHookTxt, 5, 0);
  hooks->addWidget(edtPaintHookTxt, 5, 1);
  hooks->addWidget(rdoStandardHook, 6, 0);
  hooks->addWidget(rdoBeforeHook, 6, 1);
  auto* ptsRow = new QHBoxLayout();
  ptsRow->addWidget(rdoPTSs);
  ptsRow->addWidget(edtPTSs);
  ptsRow->addWidget(btnPTSsHelp);
  hooks->addLayout(ptsRow, 7, 0, 1, 3);
  hooks->addWidget(rdoCustomHook, 8, 0, 1, 3);
  outer->addWidget(hookBox);

  for (QAbstractButton* control :
       std::initializer_list<QAbstractButton*>{rdoExternalHook, rdoCustomHook, chkImlib2Img,
                                               chkImgDancing, chkImlib2Txt, chkTxtScrolling,
                                               chkWaterMark, chkWaterMarkMode, chkPaintHookImg,
                                               chkPaintHookTxt, rdoStandardHook, rdoBeforeHook,
                                               rdoPTSs})
    connect(control, &QAbstractButton::clicked, this, [this] { UpdateHookControls(); });
  connect(btnPTSsHelp, &QPushButton::clicked, this, [this] { ShowPTSsHelp(); });

  auto* filterBox = new QGroupBox("Video Filter", page);
  auto* filters = new QGridLayout(filterBox);
  chkVertFlip = new QCheckBox("Vertically Flip", filterBox);
  chkHoriFlip = new QCheckBox("Horizontally Flip", filterBox);
  chkNegate = new QCheckBox("Negate", filterBox);
  chkScale = new QCheckBox("Scale", filterBox);
  edtScale = FollowingEdit(chkScale, "320:240", filterBox);
  chkRotate = new QCheckBox("Rotate", filterBox);
  edtRotate = FollowingEdit(chkRotate, "45", filterBox);
  chkSetPTS = new QCheckBox("SetPTS", filterBox);
  edtSetPTS = FollowingEdit(chkSetPTS, "0.5*PTS", filterBox);
  filters->addWidget(chkVertFlip, 0, 0);
  filters->addWidget(chkHoriFlip, 0, 1);
  filters->addWidget(chkNegate, 0, 2);
  filters->addWidget(chkScale, 1, 0);
  filters->addWidget(edtScale, 1, 1);
  filters->addWidget(chkRotate, 2, 0);
  filters->addWidget(edtRotate, 2, 1);
  filters->addWidget(chkSetPTS, 3, 0);
  filters->addWidget(edtSetPTS, 3, 1);
  outer->addWidget(filterBox);
  outer->addStretch();
  return page;
}

// ---- Mirroring the controls into the composer's state ---------------------------------

void TfrmOption::ReadControls() {
  TComposerState& s = FState;
  s.Output.Format = grpFormats->ItemIndex();
  s.Output.Norm = grpNorm->ItemIndex();
  s.Output.Folder = Std(edtOutPath->text());
  s.Output.Overwrite = chkOverwrite->isChecked();
  s.Output.CopyTimestamp = chkCopyTimestamp->isChecked();

  s.Audio.Channels = grpAudioChannels->ItemIndex();
  s.Audio.SampleRate = grpAudioSampleRate->ItemIndex();
  s.Audio.Volume = {chkAudioVolume->isChecked(), Std(edtAudioVolume->text())};
  s.Audio.BitRate = {chkAudioBitRate->isChecked(), Std(edtAudioBitRate->text())};
  s.Audio.Codec = grpAudioCodec->ItemIndex();

  s.Video.FrameSize = cboFrameSize->currentIndex();
  s.Video.FrameRate = grpFrameRate->ItemIndex();
  s.Video.AspectRatio = grpAspectRatio->ItemIndex();
  s.Video.BitRate = {chkVideoBitRate->isChecked(), Std(edtVideoBitRate->text())};
  s.Video.Codec = grpVideoCodec->ItemIndex();

  s.Crop = {chkCrop->isChecked(), Std(edtCropTop->text()), Std(edtCropBottom->text()),
            Std(edtCropLeft->text()), Std(edtCropRight->text())};
  s.Pad = {chkPad->isChecked(), Std(edtPadTop->text()), Std(edtPadBottom->text()),
           Std(edtPadLeft->text()), Std(edtPadRight->text())};

  s.Clip.Enabled = chkCutClip->isEnabled();
  s.Clip.Checked = chkCutClip->isChecked();

  THookControls& h = s.Hooks;
  h.External = rdoExternalHook->isChecked();
  h.Imlib2Img = chkImlib2Img->isChecked();
  h.ImgDancing = chkImgDancing->isChecked();
  h.Imlib2Txt = chkImlib2Txt->isChecked();
  h.Imlib2Text = Std(edtImlib2Txt->text());
  h.TxtScrolling = chkTxtScrolling->isChecked();
  h.WaterMark = chkWaterMark->isChecked();
  h.WaterMarkMode = chkWaterMarkMode->isChecked();
  h.PaintHookImg = chkPaintHookImg->isChecked();
  h.PaintHookTxt = chkPaintHookTxt->isChecked();
  h.PaintHookText = Std(edtPaintHookTxt->text());
  h.Behavior = rdoBeforeHook->isChecked() ? hbBeforeHook
               : rdoPTSs->isChecked()     ? hbPTSs
                                          : hbStandard;
  h.PTSs = Std(edtPTSs->text());

  TFilterControls& f = s.Filters;
  f.VertFlip = chkVertFlip->isChecked();
  f.HoriFlip = chkHoriFlip->isChecked();
  f.Negate = chkNegate->isChecked();
  f.Scale = {chkScale->isChecked(), Std(edtScale->text())};
  f.Rotate = {chkRotate->isChecked(), Std(edtRotate->text())};
  f.SetPTS = {chkSetPTS->isChecked(), Std(edtSetPTS->text())};
}

const TComposerState& TfrmOption::State() {
  ReadControls();
  return FState;
}

// ---- Source and time bar ------------------------------------------------------------------

void TfrmOption::LoadSource(TAVProbe* probe) {
  TSourceFacts facts;
  if (probe) {
    facts.FileName = probe->GetFileName();
    facts.ForcedFormat = probe->GetFormatName();
    const AVFormatContext* context = probe->FormatContext();
    if (context && context->iformat && context->iformat->name)
      facts.FormatName = context->iformat->name;
    facts.Duration = probe->GetFileInfo().Duration;
    if (probe->FirstVideoStreamIndex() >= 0) {
      const TVideoStreamInfo video = probe->GetVideoStreamInfo();
      facts.HasVideo = true;
      facts.VideoWidth = video.Width;
      facts.VideoHeight = video.Height;
    }
  }
  ShowSource(facts, probe ? QString::fromStdString(probe->GetInfoText()) : QString(), probe);
}

void TfrmOption::LoadSource(const TSourceFacts& facts, const QString& infoText) {
  ShowSource(facts, infoText, nullptr);
}

void TfrmOption::ShowSource(const TSourceFacts& facts, const QString& infoText, TAVProbe* probe) {
  Probe = probe;
  ::LoadSource(FState, facts);
  FillPicture(imgPreview, ColorFromBGR(PICTURE_FILL));
  Picture = QImage();
  const TTimeBar& bar = FState.Clip.Bar;
  {
    const QSignalBlocker block(trcPreview);
    trcPreview->setVisible(bar.HasSlider);
    trcPreview->setRange(0, bar.Max);
    trcPreview->setTickInterval(TickFrequency(bar, trcPreview->width()));
    trcPreview->setSingleStep(bar.LineSize);
    trcPreview->setPageStep(bar.PageSize);
    trcPreview->setValue(0);
  }
  chkCutClip->setChecked(false);
  ShowClipControls();
  TimeBarMoved(0);
  memInfo->setPlainText(infoText);
}

void TfrmOption::TimeBarMoved(int position) {
  SetTimeBarPosition(FState.Clip, position);
  const TTimeBar& bar = FState.Clip.Bar;
  int64_t time = bar.Position * bar.Step;
  if (bar.Position >= bar.Max && FState.Source.Duration > 0) time = FState.Source.Duration;
  if (FState.Source.HasVideo && Probe && Probe->FormatContext()) {
    Probe->Seek(-1, time);
    TBitmap& frame = Probe->ReadVideoFrame();
    const QImage picture = BitmapToImage(frame);
    if (!picture.isNull()) {
      Picture = picture;
      PictureTime = time;
      ShowPicture(imgPreview, Picture);
    }
  }
  lblPTS->setText("PTS: " + QString::fromStdString(TimeText(time)));
}

void TfrmOption::SetStart() {
  SetTimeBarPosition(FState.Clip, trcPreview->value());
  SetClipStart(FState.Clip);
  ShowClipControls();
}

void TfrmOption::SetEnd() {
  SetTimeBarPosition(FState.Clip, trcPreview->value());
  SetClipEnd(FState.Clip);
  ShowClipControls();
}

void TfrmOption::ShowClipControls() {
  const TClipControls& clip = FState.Clip;
  edtStartTime->setText(QString::fromStdString(clip.StartText));
  edtEndTime->setText(QString::fromStdString(clip.EndText));
  chkCutClip->setEnabled(clip.Enabled);
  if (!clip.Enabled) chkCutClip->setChecked(false);
}

QDialog* TfrmOption::CreatePicturePopup() {
  if (Picture.isNull()) return nullptr;
  const QString title = QString("%1x%2 PTS: %3")
                            .arg(Picture.width())
                            .arg(Picture.height())
                            .arg(QString::fromStdString(TimeText(PictureTime)));
  return new TPicturePopup(Picture, title, this);
}

void TfrmOption::ShowPicturePopup() {
  QDialog* popup = CreatePicturePopup();
  if (!popup) return;
  popup->exec();
  delete popup;
}

// ---- Settings written by other windows ----------------------------------------------------

bool TfrmOption::SelectFormat(const QString& item) {
  TComposerState probe;
  if (!::SelectFormat(probe, Std(item))) return false;
  grpFormats->SetItemIndex(probe.Output.Format);
  return true;
}

void TfrmOption::ApplyAudioSettings(int channels, int sampleRate, const QString& bitRate,
                                    bool bitRateChosen) {
  TComposerState settings;
  ::ApplyAudioSettings(settings, channels, sampleRate, Std(bitRate));
  grpAudioChannels->SetItemIndex(settings.Audio.Channels);
  grpAudioSampleRate->SetItemIndex(settings.Audio.SampleRate);
  // A bit rate reaches the encoder only when the user picked one; the list's
  // first item must not force 8 kbit/s on every conversion.
  if (bitRateChosen) edtAudioBitRate->setText(bitRate);
  chkAudioBitRate->setChecked(bitRateChosen);
}

void TfrmOption::SetReservedNames(const std::vector<std::string>& names) {
  FState.Output.Reserved = std::set<std::string>(names.begin(), names.end());
}

void TfrmOption::SetHookFolder(const QString& folder) {
  FState.Hooks.Folder = Std(folder);
  UpdateHookControls();
}

// ---- Hooks ------------------------------------------------------------------------------------

void TfrmOption::UpdateHookControls() {
  ReadControls();
  const THookEnabled enabled = HookControlsEnabled(FState.Hooks);
  chkImlib2Img->setEnabled(enabled.Imlib2Img);
  chkImlib2Txt->setEnabled(enabled.Imlib2Txt);
  chkWaterMark->setEnabled(enabled.WaterMark);
  chkPaintHookImg->setEnabled(enabled.PaintHookImg);
  chkPaintHookTxt->setEnabled(enabled.PaintHookTxt);
  const auto follows = [](QCheckBox* box) { return box->isEnabled() && box->isChecked(); };
  chkImgDancing->setEnabled(follows(chkImlib2Img));
  edtImlib2Txt->setEnabled(follows(chkImlib2Txt));
  chkTxtScrolling->setEnabled(follows(chkImlib2Txt));
  chkWaterMarkMode->setEnabled(follows(chkWaterMark));
  edtPaintHookTxt->setEnabled(follows(chkPaintHookTxt));
  rdoStandardHook->setEnabled(enabled.Behavior);
  rdoBeforeHook->setEnabled(enabled.Behavior);
  rdoPTSs->setEnabled(enabled.Behavior);
  edtPTSs->setEnabled(enabled.Behavior && rdoPTSs->isChecked());
}

void TfrmOption::ShowPTSsHelp() {
  ShowMessage(this, QMessageBox::Information, "Video Hook PTS Periods",
              "Enable Video Hook only in special periods, empty means whole duration enabled.\n"
              "format: [<pts1>-<pts2>[,pts3-pts4[,...]]]\n"
              "example: to process video hook only in pts periods 0-5,10-15 (seconds)\n"
              "         PTS Periosd(millisecond!!!) -> \"0-5000,10000-15000\"");
}

// ---- Output folder and OK -----------------------------------------------------------------------

QString TfrmOption::OutputFolder() const {
  const QString folder = edtOutPath->text();
  if (folder != SAME_AS_INPUT) return folder;
  return QFileInfo(QString::fromStdString(FState.Source.FileName)).absolutePath();
}

void TfrmOption::BrowseOutputFolder() {
  const QString folder =
      QFileDialog::getExistingDirectory(this, "Select Output Folder", OutputFolder());
  if (!folder.isEmpty()) ChooseOutputFolder(folder);
}

bool TfrmOption::ChooseOutputFolder(const QString& folder) {
  if (IsCdRomFolder(folder)) {
    ShowMessage(this, QMessageBox::Information, APP_TITLE,
                "Output folder cannot be located in CD-ROM.");
    return false;
  }
  edtOutPath->setText(folder.endsWith('/') ? folder : folder + '/');
  return true;
}

bool TfrmOption::CheckOutputDrive() {
  if (!IsCdRomFolder(OutputFolder())) return true;
  ShowMessage(this, QMessageBox::Information, APP_TITLE,
              "Input folder is located in CD-ROM, please select output folder.");
  btnOutPath->setFocus();
  return false;
}

void TfrmOption::accept() {
  if (CheckOutputDrive()) QDialog::accept();
}

void TfrmOption::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  UpdateHookControls();
  if (QRadioButton* selected = grpFormats->Button(grpFormats->ItemIndex())) selected->setFocus();
}

void TfrmOption::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  // The bar forgets its range; the preview keeps what it shows.
  const QSignalBlocker block(trcPreview);
  trcPreview->setMaximum(0);
  FState.Clip.Bar.Max = 0;
  SetTimeBarPosition(FState.Clip, 0);
}

// ---- Composing ------------------------------------------------------------------------------------

void TfrmOption::ComposeOutput(TOutputOptions& options) {
  ReadControls();
  ::ComposeOutput(FState, options);
}

void TfrmOption::ComposeInput(TInputOptions& options) {
  ReadControls();
  ::ComposeInput(FState, options);
}
