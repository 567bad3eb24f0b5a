#include "qt_answers.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QMetaObject>
#include <QWidget>
#include <cstdlib>
#include <optional>
#include <string>

#include "toolkit/dialogs.h"
#include "toolkit/forms.h"

namespace trialhost {

namespace {

void Quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// The toolkit's boxes: a message as dismissed, an open dialog as cancelled, so that
// code that shows one goes on as it does in the workbench once the user has
// answered, instead of waiting out the time limit.
class AnsweredDialogs final : public toolkit::DialogService {
 public:
  void ShowMessage(const std::string&) override {}
  void ShowException(const std::string&) override {}
  std::optional<std::string> OpenFile(const toolkit::TOpenDialog&) override { return std::nullopt; }
};

// Qt's own modal windows (QMessageBox, QInputDialog, a QDialog of the package's):
// each is rejected, as Escape would, once its modal loop runs.
class ModalAnswerer final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
      auto* window = static_cast<QWidget*>(watched);
      if (window->isWindow() && window->isModal()) {
        if (auto* dialog = qobject_cast<QDialog*>(window)) {
          QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
        } else {
          QMetaObject::invokeMethod(window, &QWidget::close, Qt::QueuedConnection);
        }
      }
    }
    return false;
  }
};

AnsweredDialogs answeredDialogs;

}  // namespace

void PrepareQt() {
  // Packages may create controls, as they may in the workbench; nothing is ever shown,
  // and never on the user's display. Qt's start-up chatter is not the trial's.
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const QtMessageHandler previous = qInstallMessageHandler(&Quiet);
  toolkit::Application->Initialize();
  qInstallMessageHandler(previous);
  toolkit::SetDialogService(&answeredDialogs);
  qApp->installEventFilter(new ModalAnswerer());
}

}  // namespace trialhost
