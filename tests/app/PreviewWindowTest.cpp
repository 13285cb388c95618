// The preview window of a running conversion: it shows the pictures with
// their time, closing it ends window previews for that job, and switching
// the preview off or freeing the job while it shows pictures is safe (run
// under the sanitizers, several times over).
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QRegularExpression>
#include <memory>

#include "AppTestSupport.h"
#include "FFmpeg.h"
#include "PreviewWindow.h"

using namespace app_test;
using testing_support::Fixture;
using testing_support::LoadEngineLibraries;
using testing_support::TTempDir;

namespace {

// 4 s of 320x240 pictures; converted at the speed of playback.
std::string Clip() {
  return Fixture("preview4s.mkv", "-f lavfi -i testsrc=size=320x240:rate=25:duration=4 -c:v ffv1");
}

TfrmPreview* ShownWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* window = qobject_cast<TfrmPreview*>(widget); window && window->isVisible())
      return window;
  return nullptr;
}

bool AnyWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (qobject_cast<TfrmPreview*>(widget)) return true;
  return false;
}

bool HasTimeCaption(const QWidget* window) {
  static const QRegularExpression time("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$");
  return time.match(window->windowTitle()).hasMatch();
}

class PreviewWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadEngineLibraries()); }
  // A job previewing in a window, running on its worker.
  std::unique_ptr<TCustomFFmpeg> StartJob(const std::string& name) {
    auto engine = std::make_unique<TCustomFFmpeg>();
    engine->Reset();
    engine->Sync.RateEmu = true;
    engine->SetPreviewFlags(1);
    EXPECT_TRUE(engine->OpenInputFile(Clip())) << engine->LastError;
    engine->SetOption("vcodec", "ffv1");
    EXPECT_TRUE(engine->OpenOutputFile(Dir.File(name))) << engine->LastError;
    TFFmpegThread* worker = engine->Start(true);
    EXPECT_NE(worker, nullptr);
    if (worker) worker->Start();
    return engine;
  }
  TTempDir Dir;
};

}  // namespace

TEST_F(PreviewWindow, ShowsThePicturesWithTheirTimeUntilClosed) {
  for (int round = 0; round < 2; ++round) {
    auto engine = StartJob("shown" + std::to_string(round) + ".mkv");
    ASSERT_TRUE(WaitFor([] { return ShownWindow() && HasTimeCaption(ShownWindow()); }));
    QPointer<TfrmPreview> window = ShownWindow();
    EXPECT_TRUE(window->windowFlags() & Qt::Tool);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    ASSERT_FALSE(window->imgPicture->pixmap().isNull());
    EXPECT_EQ(window->imgPicture->pixmap().size(), QSize(320, 240));
    // Later pictures follow, each with its own time.
    const QString first = window->windowTitle();
    ASSERT_TRUE(WaitFor([&] { return window && window->windowTitle() != first; }));
    EXPECT_TRUE(HasTimeCaption(window));

    // Closed by the user: the job lets go of the window at once (it is
    // paused, so the end of the job cannot be what frees it) and goes on.
    window->close();
    ASSERT_TRUE(WaitFor([&] { return !(engine->RunState.PreviewFlags & 1); }));
    engine->Pause();
    ASSERT_TRUE(WaitFor([&] { return window.isNull(); }));
    engine->Resume();
    ASSERT_TRUE(WaitFor([&] { return bool(engine->RunState.Done); }));
    EXPECT_TRUE(engine->RunState.FinishedNormally) << engine->RunState.ExceptionMessage;
    EXPECT_FALSE(AnyWindow());
  }
}

TEST_F(PreviewWindow, SwitchingOffOrFreeingARunningJobTakesTheWindowAway) {
  for (int round = 0; round < 2; ++round) {
    auto engine = StartJob("off" + std::to_string(round) + ".mkv");
    ASSERT_TRUE(WaitFor([] { return ShownWindow() != nullptr; }));
    QPointer<TfrmPreview> window = ShownWindow();
    engine->SetPreviewFlags(0);  // the owner's thread, while pictures come
    ASSERT_TRUE(WaitFor([&] { return window.isNull(); }));
    ASSERT_TRUE(WaitFor([&] { return bool(engine->RunState.Done); }));
    EXPECT_TRUE(engine->RunState.FinishedNormally) << engine->RunState.ExceptionMessage;

    engine = StartJob("freed" + std::to_string(round) + ".mkv");
    ASSERT_TRUE(WaitFor([] { return ShownWindow() != nullptr; }));
    window = ShownWindow();
    engine.reset();  // stops the job and waits for its worker
    ASSERT_TRUE(WaitFor([&] { return window.isNull(); }));
    EXPECT_FALSE(AnyWindow());
  }
}
