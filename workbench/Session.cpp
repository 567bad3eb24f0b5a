#include "Session.h"

#include <QApplication>
#include <QByteArray>
#include <QEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "Unit1.h"
#include "Unit2.h"
#include "toolkit/forms.h"

namespace {

const QString kWindows = QStringLiteral("windows");
const QString kOpen = QStringLiteral("open");
const QString kBounds = QStringLiteral("bounds");
const QString kEdits = QStringLiteral("edits");
const QString kInspector = QStringLiteral("Form2");

// Beyond these a rectangle is no window anyone saw: no screen is that far out or
// that large.
constexpr int kMaxCoordinate = 1 << 15;
constexpr int kMaxSize = 1 << 15;
// How much of a window a screen must show for the user to take hold of it.
constexpr int kGrip = 32;

QString ToQt(const std::string& text) {
  return QString::fromStdString(text);
}

// The application's forms and, under each, the forms it made (the inspector is the
// main window's): whatever windows a run has, the ones to come included.
void CollectForms(const rtl::TComponent& owner, std::vector<toolkit::TForm*>& forms) {
  for (int i = 0; i < owner.ComponentCount(); ++i) {
    if (auto* form = dynamic_cast<toolkit::TForm*>(owner.Components(i))) {
      forms.push_back(form);
      CollectForms(*form, forms);
    }
  }
}

std::vector<toolkit::TForm*> WorkbenchForms() {
  std::vector<toolkit::TForm*> forms;
  if (toolkit::Application != nullptr) CollectForms(*toolkit::Application, forms);
  return forms;
}

toolkit::TForm* FindForm(const QString& name) {
  for (toolkit::TForm* form : WorkbenchForms()) {
    if (ToQt(form->Name()) == name) return form;
  }
  return nullptr;
}

std::vector<toolkit::TEdit*> EditsOf(const toolkit::TForm& form) {
  std::vector<toolkit::TEdit*> edits;
  for (int i = 0; i < form.ComponentCount(); ++i) {
    if (auto* edit = dynamic_cast<toolkit::TEdit*>(form.Components(i))) edits.push_back(edit);
  }
  return edits;
}

QJsonObject CaptureWindow(const toolkit::TForm& form) {
  QJsonObject edits;
  for (const toolkit::TEdit* edit : EditsOf(form)) {
    if (!edit->Name().empty()) edits.insert(ToQt(edit->Name()), ToQt(edit->Text()));
  }
  const QJsonObject bounds{{"left", form.Left()},
                           {"top", form.Top()},
                           {"width", form.Width()},
                           {"height", form.Height()}};
  return {{kOpen, form.Widget()->isVisible()}, {kBounds, bounds}, {kEdits, edits}};
}

// A whole number in [low, high]; JSON gives every number as a double, and one out of
// int's range must not reach a conversion.
std::optional<int> IntegerIn(const QJsonValue& value, int low, int high) {
  if (!value.isDouble()) return std::nullopt;
  const double number = value.toDouble();
  if (!(number >= low && number <= high) || number != std::trunc(number)) return std::nullopt;
  return static_cast<int>(number);
}

std::optional<QRect> BoundsFrom(const QJsonValue& value) {
  const QJsonObject bounds = value.toObject();
  const auto left = IntegerIn(bounds["left"], -kMaxCoordinate, kMaxCoordinate);
  const auto top = IntegerIn(bounds["top"], -kMaxCoordinate, kMaxCoordinate);
  const auto width = IntegerIn(bounds["width"], 1, kMaxSize);
  const auto height = IntegerIn(bounds["height"], 1, kMaxSize);
  if (!left || !top || !width || !height) return std::nullopt;
  return QRect(*left, *top, *width, *height);
}

// A window that no screen shows enough of to be taken hold of (its screen is gone,
// or the bytes were never a session) goes onto the primary screen, as large as it was
// where the screen has room for that.
QRect OnScreen(QRect bounds) {
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect shown = screen->availableGeometry().intersected(bounds);
    if (shown.width() >= std::min(bounds.width(), kGrip) &&
        shown.height() >= std::min(bounds.height(), kGrip)) {
      return bounds;
    }
  }
  const QScreen* primary = QGuiApplication::primaryScreen();
  if (primary == nullptr || primary->availableGeometry().isEmpty()) return bounds;
  const QRect area = primary->availableGeometry();
  bounds.setSize(bounds.size().boundedTo(area.size()));
  bounds.moveLeft(std::clamp(bounds.left(), area.left(), area.right() - bounds.width() + 1));
  bounds.moveTop(std::clamp(bounds.top(), area.top(), area.bottom() - bounds.height() + 1));
  return bounds;
}

void RestoreEdits(toolkit::TForm& form, const QJsonObject& saved) {
  for (auto entry = saved.begin(); entry != saved.end(); ++entry) {
    auto* edit = dynamic_cast<toolkit::TEdit*>(form.FindComponent(entry.key().toStdString()));
    if (edit == nullptr || !entry.value().isString()) continue;
    const std::string text = entry.value().toString().toStdString();
    // Unchanged texts stay untouched: a change signal is a change to whoever listens.
    if (edit->Text() != text) edit->SetText(text);
  }
}

// The inspector exists only once its button has been pressed; a session in which it
// was open makes it as the button does: owned by the main window, stored only once
// whole. It stays hidden until its place is set.
toolkit::TForm* MakeInspector() {
  if (Form2 == nullptr && Form1 != nullptr) Form2 = new TForm2(Form1);
  return Form2;
}

void RestoreWindow(const QString& name, const QJsonObject& saved) {
  const QJsonValue open = saved[kOpen];
  toolkit::TForm* form = FindForm(name);
  if (form == nullptr && name == kInspector && open.toBool(false)) form = MakeInspector();
  if (form == nullptr) return;
  if (const std::optional<QRect> bounds = BoundsFrom(saved[kBounds])) {
    const QRect placed = OnScreen(*bounds);
    form->PlaceFramed(placed.left(), placed.top(), placed.width(), placed.height());
  }
  RestoreEdits(*form, saved[kEdits].toObject());
  if (!open.isBool()) return;
  if (open.toBool()) {
    form->Show();
  } else if (form != toolkit::Application->MainForm()) {
    form->Hide();
  }
}

bool IsWorkbenchWindow(const QWidget* widget) {
  for (const toolkit::TForm* form : WorkbenchForms()) {
    if (form->Widget() == widget) return true;
  }
  return false;
}

// Watches the run's windows for the session's sake. It lives as a child of the main
// window's widget, so it goes with that window and a later run in the same process
// starts without it.
class SessionKeeper final : public QObject {
 public:
  SessionKeeper(QWidget* mainWindow, std::function<void(const std::string&)> sink);
  ~SessionKeeper() override;
  SessionKeeper(const SessionKeeper&) = delete;
  SessionKeeper& operator=(const SessionKeeper&) = delete;

  // Reports the session if it differs from the one reported last.
  void Report() noexcept;
  void Stop() noexcept;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Schedule() noexcept;
  void WatchEdits();

  std::function<void(const std::string&)> sink_;
  std::string reported_;
  bool scheduled_ = false;
  bool stopped_ = false;
};

SessionKeeper* keeper = nullptr;

SessionKeeper::SessionKeeper(QWidget* mainWindow, std::function<void(const std::string&)> sink)
    : QObject(mainWindow), sink_(std::move(sink)) {
  qApp->installEventFilter(this);
}

SessionKeeper::~SessionKeeper() {
  if (QCoreApplication::instance() != nullptr) qApp->removeEventFilter(this);
  if (keeper == this) keeper = nullptr;
}

void SessionKeeper::Stop() noexcept {
  stopped_ = true;
  qApp->removeEventFilter(this);
}

bool SessionKeeper::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::Close:
      break;
    default:
      return false;
  }
  if (scheduled_ || stopped_ || !watched->isWidgetType()) return false;
  const auto* widget = static_cast<const QWidget*>(watched);
  try {
    if (widget->isWindow() && IsWorkbenchWindow(widget)) Schedule();
  } catch (...) {
    // Nothing may cross Qt's event loop; the next change tries again.
  }
  return false;
}

void SessionKeeper::Schedule() noexcept {
  if (scheduled_ || stopped_) return;
  try {
    // Queued to this object: a keeper freed in the meantime takes the call along.
    QMetaObject::invokeMethod(
        this,
        [this] {
          scheduled_ = false;
          Report();
        },
        Qt::QueuedConnection);
    scheduled_ = true;
  } catch (...) {
    // Reached from the edit boxes' signals, inside Qt's event loop; the next change
    // tries again.
  }
}

void SessionKeeper::WatchEdits() {
  // Edit boxes of windows made since the last report are taken in here; a window's
  // coming shows itself, and so brings a report.
  for (const toolkit::TForm* form : WorkbenchForms()) {
    for (const toolkit::TEdit* edit : EditsOf(*form)) {
      if (auto* line = qobject_cast<QLineEdit*>(edit->Widget())) {
        connect(line, &QLineEdit::textChanged, this, &SessionKeeper::Schedule,
                Qt::UniqueConnection);
      }
    }
  }
}

void SessionKeeper::Report() noexcept {
  if (stopped_ || !sink_) return;
  try {
    WatchEdits();
    std::string session = CaptureSession();
    if (session == reported_) return;
    reported_ = std::move(session);
    sink_(reported_);
  } catch (...) {
    // The sink's failure is its own to report: the user's event loop goes on, and the
    // next change reports again.
  }
}

}  // namespace

std::string CaptureSession() {
  QJsonObject windows;
  for (const toolkit::TForm* form : WorkbenchForms()) {
    const QString name = ToQt(form->Name());
    if (!name.isEmpty() && !windows.contains(name)) windows.insert(name, CaptureWindow(*form));
  }
  const QJsonDocument document(QJsonObject{{kWindows, windows}});
  return document.toJson(QJsonDocument::Compact).toStdString();
}

void RestoreSession(std::string_view json) {
  QJsonObject windows;
  try {
    // Read in place: the bytes are only looked at, never kept.
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(json.data(), static_cast<qsizetype>(json.size())));
    windows = document.object().value(kWindows).toObject();
  } catch (const std::exception&) {
    return;  // no memory for what the bytes hold: nothing of them is applied
  }
  for (auto entry = windows.constBegin(); entry != windows.constEnd(); ++entry) {
    try {
      RestoreWindow(entry.key(), entry.value().toObject());
    } catch (const std::exception&) {
      // This window stays as it is (the inspector's button reports why it cannot be
      // made); the others are still restored.
    }
  }
}

void KeepSession(std::function<void(const std::string&)> sink) {
  StopKeepingSession();
  const toolkit::TForm* mainForm =
      toolkit::Application != nullptr ? toolkit::Application->MainForm() : nullptr;
  if (mainForm == nullptr) {
    try {
      if (sink) sink(CaptureSession());
    } catch (...) {
      // As for every report: the sink's failure stays with the sink.
    }
    return;
  }
  keeper = new SessionKeeper(mainForm->Widget(), std::move(sink));
  keeper->Report();
}

void StopKeepingSession() {
  SessionKeeper* stopping = std::exchange(keeper, nullptr);
  if (stopping == nullptr) return;
  // Later, not now: the sink itself may be what stops the keeping.
  stopping->Stop();
  stopping->deleteLater();
}
