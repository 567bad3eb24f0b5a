#include "TrialWaiter.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include "Unit1.h"
#include "trial/read_until.h"

TrialWaiter::TrialWaiter(std::string file) : file_(std::move(file)) {
  QApplication::setOverrideCursor(Qt::BusyCursor);
}

TrialWaiter::~TrialWaiter() {
  QApplication::restoreOverrideCursor();
}

std::string TrialWaiter::Text() const {
  return "Trying " + file_ + (stage_.empty() ? std::string() : "\nin " + stage_);
}

void TrialWaiter::Entered(const trial::Stage& stage) {
  stage_ = trial::Describe(stage);
  if (label_ != nullptr) label_->setText(QString::fromStdString(Text()));
}

void TrialWaiter::ShowProgress() {
  QWidget* parent = Form1 != nullptr ? Form1->Widget() : nullptr;
  window_ = std::make_unique<QWidget>(parent, Qt::Dialog);
  window_->setObjectName(QStringLiteral("TrialProgress"));
  window_->setWindowTitle(QStringLiteral("Trial run"));
  window_->setWindowModality(Qt::ApplicationModal);
  auto* layout = new QVBoxLayout(window_.get());
  label_ = new QLabel(QString::fromStdString(Text()), window_.get());
  layout->addWidget(label_);
  auto* stop = new QPushButton(QStringLiteral("Stop"), window_.get());
  stop->setObjectName(QStringLiteral("Stop"));
  layout->addWidget(stop, 0, Qt::AlignRight);
  QObject::connect(stop, &QPushButton::clicked, [this] { stopAsked_ = true; });
  window_->show();
}

trial::Waiter::Woken TrialWaiter::Wait(int fd, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    // The windows paint, and nothing else of the workbench runs meanwhile: its timers
    // wait for the end of the trial, and clicks wait until the progress window is up,
    // which is modal, so that the windows under it take none.
    QCoreApplication::processEvents(
        QEventLoop::X11ExcludeTimers |
        (window_ ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents));
    if (stopAsked_) {
      stopAsked_ = false;
      return Woken::StopAsked;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return Woken::TimedOut;
    if (!window_ && now - started_ >= kPatience) ShowProgress();
    // Short enough for the windows to keep up, long enough to cost nothing.
    if (trial::WaitReadable(fd, std::min(deadline, now + std::chrono::milliseconds(10)))) {
      return Woken::Readable;
    }
  }
}
