#include "PreviewWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>
#include <QWindow>
#include <atomic>
#include <memory>
#include <mutex>

#include "Bitmap.h"
#include "Previewer.h"

TfrmPreview::TfrmPreview()
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                           Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setAttribute(Qt::WA_QuitOnClose, false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  imgPicture = new QLabel(this);
  imgPicture->setAttribute(Qt::WA_TransparentForMouseEvents);  // the window drags
  layout->addWidget(imgPicture);
}

void TfrmPreview::ShowPicture(const TBitmap& picture, const QString& caption) {
  setWindowTitle(caption);
  const QImage image(picture.Scanline(0), picture.GetWidth(), picture.GetHeight(), picture.Stride(),
                     QImage::Format_BGR888);
  imgPicture->setPixmap(QPixmap::fromImage(image));  // a deep copy
  if (size() != QSize(picture.GetWidth(), picture.GetHeight()))
    setFixedSize(picture.GetWidth(), picture.GetHeight());
  if (!Placed) {
    Placed = true;
    if (QScreen* screen = QGuiApplication::primaryScreen())
      move(screen->availableGeometry().center() - rect().center());
    show();
  }
}

void TfrmPreview::closeEvent(QCloseEvent* event) {
  if (OnClosed) OnClosed();
  event->accept();  // hidden; freed when the engine lets go of it
}

void TfrmPreview::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  // The window system moves the window as if its caption were held.
  if (windowHandle() && windowHandle()->startSystemMove()) return;
  Dragging = true;
  DragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void TfrmPreview::mouseMoveEvent(QMouseEvent* event) {
  if (Dragging) move(event->globalPosition().toPoint() - DragOffset);
}

void TfrmPreview::mouseReleaseEvent(QMouseEvent*) { Dragging = false; }

namespace {

// What the engine's side and the GUI thread share; it lives as long as
// either holds it.
struct TPreviewState {
  std::mutex Lock;
  std::shared_ptr<const TBitmap> Pending;  // the newest picture not yet drawn
  QString Caption;
  bool DrawPosted = false;
  std::atomic<bool> Closed{false};     // by the user
  std::atomic<bool> Abandoned{false};  // the engine let go
  QPointer<TfrmPreview> Form;          // GUI thread only
};

// Runs fn on the GUI thread, later; nothing when the application is gone.
void OnGuiThread(std::function<void()> fn) {
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

bool IsGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

void Draw(const std::shared_ptr<TPreviewState>& state) {
  std::shared_ptr<const TBitmap> picture;
  QString caption;
  {
    std::lock_guard<std::mutex> lock(state->Lock);
    picture = std::move(state->Pending);
    caption = state->Caption;
    state->DrawPosted = false;
  }
  if (!picture || state->Closed || state->Abandoned) return;
  if (!state->Form) {
    state->Form = new TfrmPreview;
    std::weak_ptr<TPreviewState> weak = state;
    state->Form->OnClosed = [weak] {
      if (auto alive = weak.lock()) alive->Closed = true;
    };
  }
  state->Form->ShowPicture(*picture, caption);
}

class TQtPreviewWindow : public TPreviewWindow {
 public:
  ~TQtPreviewWindow() override {
    State->Abandoned = true;
    auto state = State;
    auto close = [state] { delete state->Form.data(); };
    if (IsGuiThread())
      close();
    else
      OnGuiThread(close);
  }
  void Show(std::shared_ptr<const TBitmap> picture, const std::string& caption) override {
    bool post;
    {
      std::lock_guard<std::mutex> lock(State->Lock);
      State->Pending = std::move(picture);
      State->Caption = QString::fromStdString(caption);
      post = !State->DrawPosted;
      State->DrawPosted = true;
    }
    if (post) {
      auto state = State;
      OnGuiThread([state] { Draw(state); });
    }
  }
  bool Closed() const override { return State->Closed; }

 private:
  std::shared_ptr<TPreviewState> State = std::make_shared<TPreviewState>();
};

}  // namespace

void RegisterQtPreviewWindow() {
  RegisterPreviewWindowFactory([] { return std::make_unique<TQtPreviewWindow>(); });
}
