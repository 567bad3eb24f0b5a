#include "Unit4.h"

#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <algorithm>
#include <utility>

#include "Trial.h"
#include "rtl/sysutils.h"
#include "trial/crash.h"

RTL_DEFINE_CLASS(TForm4, RTL_PUBLISH(TForm4, FormClose))

namespace {

std::vector<TForm4*>& OpenPreviews() {
  static std::vector<TForm4*> previews;
  return previews;
}

std::string NameOf(rtl::TClass cls) {
  return rtl::ClassName(cls).ToString();
}

// Where the instance sits on the stage, clear of the panel's edge.
constexpr int kMargin = 8;

}  // namespace

TForm4::TForm4(rtl::TComponent* owner, rtl::TClass cls)
    : TForm(owner, StaticClass()), class_(cls), className_(NameOf(cls)), file_(ModuleFileOf(cls)) {
  const std::string& name = className_;
  SetCaption("Preview of " + name);
  // The grid's editors run from Qt's signals, which nothing may leave by raising.
  Grid->OnEdited = [this](const std::string& property, const std::string& text) {
    try {
      WriteProperty(property, text);
    } catch (...) {
      toolkit::Application->HandleException();
    }
  };
  Grid->OnCall = [this](const std::string& method) {
    try {
      CallMethod(method);
    } catch (...) {
      toolkit::Application->HandleException();
    }
  };
  if (cls->Create == nullptr) {
    lblNote->SetCaption(name + " cannot be created from an owner: there is no instance to show");
    Grid->Hide();
  } else {
    TryPreview(name, {}, file_, "the preview was not opened");
    rtl::TComponent* made = nullptr;
    {
      const trial::CrashAction doing("previewing: creating " + name, file_);
      made = cls->Create(this);
    }
    Place(made);
  }
  OpenPreviews().push_back(this);
}

TForm4::~TForm4() {
  FreeInstance();
  auto& previews = OpenPreviews();
  previews.erase(std::remove(previews.begin(), previews.end(), this), previews.end());
}

void TForm4::FreeInstance() noexcept {
  if (instance_ == nullptr) return;
  const trial::CrashAction doing("previewing: freeing " + className_, file_);
  delete std::exchange(instance_, nullptr);
}

void TForm4::Place(rtl::TComponent* instance) {
  instance_ = instance;
  if (auto* control = dynamic_cast<toolkit::TControl*>(instance)) {
    control->SetParent(pnlStage);
    control->SetLeft(kMargin);
    control->SetTop(kMargin);
  } else {
    // Nothing to see: the grid takes the whole window.
    pnlStage->Hide();
    Grid->SetAlign(toolkit::alClient);
  }
  Grid->Fill(*instance, Methods());
}

std::vector<TPropertyGrid::Method> TForm4::Methods() const {
  std::vector<rtl::TClass> lineage;
  for (rtl::TClass cls = class_; cls != nullptr; cls = cls->Parent) lineage.push_back(cls);
  // Inherited first, as the properties are; a method published again keeps its place.
  std::vector<TPropertyGrid::Method> methods;
  for (auto cls = lineage.rbegin(); cls != lineage.rend(); ++cls) {
    for (std::size_t i = 0; i < (*cls)->MethodCount; ++i) {
      const rtl::TPublishedMethod& method = (*cls)->Methods[i];
      const bool callable = rtl::CallableByName(method);
      auto same = std::find_if(methods.begin(), methods.end(),
                               [&](const auto& known) { return known.name == method.Name; });
      if (same != methods.end()) {
        same->callable = callable;
      } else {
        methods.push_back({method.Name, callable});
      }
    }
  }
  return methods;
}

void TForm4::WriteProperty(const std::string& name, const std::string& text) {
  Take(trial::PreviewStep{trial::PreviewStep::Type::Write, name, text});
}

void TForm4::CallMethod(const std::string& name) {
  Take(trial::PreviewStep{trial::PreviewStep::Type::Call, name, {}});
}

void TForm4::Take(const trial::PreviewStep& step) {
  if (instance_ == nullptr) return;
  const bool write = step.type == trial::PreviewStep::Type::Write;
  const std::string target = className_ + "." + step.name;
  std::vector<trial::PreviewStep> tried = steps_;
  tried.push_back(step);
  try {
    TryPreview(className_, tried, file_,
               write ? "the property was not written" : "the method was not called");
    const trial::CrashAction doing(
        write ? "previewing: writing " + target : "previewing: calling " + target, file_);
    if (write) {
      rtl::SetPropValue(*instance_, step.name, rtl::TValue(step.value));
    } else {
      rtl::CallPublishedMethod(*instance_, step.name);
    }
  } catch (...) {
    // Whatever refused it, the grid shows what the instance holds.
    Grid->Refresh(*instance_);
    throw;
  }
  steps_.push_back(step);
  Grid->Refresh(*instance_);
}

void TForm4::FormClose(rtl::TObject*, toolkit::TCloseAction& action) {
  action = toolkit::caFree;
}

TForm4* OpenPreview(const std::string& className) {
  const rtl::TClass cls = rtl::GetClass(className);
  if (cls == nullptr) {
    throw rtl::Exception("%s is not a registered class: there is nothing to preview", {className});
  }
  for (TForm4* preview : OpenPreviews()) {
    if (preview->PreviewedClass() == cls) {
      preview->Show();
      return preview;
    }
  }
  auto* preview = new TForm4(toolkit::Application, cls);
  preview->Show();
  return preview;
}

const std::vector<TForm4*>& Previews() {
  return OpenPreviews();
}

void ClosePreviews() noexcept {
  while (!OpenPreviews().empty()) delete OpenPreviews().back();
}

namespace {

// Opens the preview of the class named on a line of a palette memo.
class PreviewOpener final : public QObject {
 public:
  explicit PreviewOpener(QPlainTextEdit* edit) : QObject(edit), edit_(edit) {
    edit->installEventFilter(this);
    edit->viewport()->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonDblClick && watched == edit_->viewport()) {
      const auto* mouse = static_cast<QMouseEvent*>(event);
      Open(edit_->cursorForPosition(mouse->position().toPoint()).block().text());
      return true;
    }
    if (event->type() == QEvent::KeyPress && watched == edit_) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        Open(edit_->textCursor().block().text());
        return true;
      }
    }
    return false;
  }

 private:
  static void Open(const QString& line) {
    const std::string name = line.trimmed().toStdString();
    if (name.empty()) return;
    try {
      OpenPreview(name);
    } catch (...) {
      toolkit::Application->HandleException();
    }
  }

  QPlainTextEdit* edit_;
};

}  // namespace

void OpenPreviewsFrom(toolkit::TMemo& memo) {
  new PreviewOpener(static_cast<QPlainTextEdit*>(memo.Widget()));
}
