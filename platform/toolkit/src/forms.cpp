#include "toolkit/forms.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLibraryInfo>
#include <QMoveEvent>
#include <QPointer>
#include <QTimer>
#include <QTranslator>
#include <QWidget>
#include <QWindow>
#include <cctype>
#include <cstdlib>
#include <memory>

#include "form_builder.h"
#include "form_parser.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"
#include "toolkit/dialogs.h"
#include "toolkit_internal.h"

namespace toolkit {

RTL_DEFINE_CLASS(TForm, RTL_PROPERTY(TForm, Caption, Caption, SetCaption),
                 RTL_PROPERTY(TForm, PixelsPerInch, PixelsPerInch, SetPixelsPerInch, 96),
                 RTL_PROPERTY(TForm, TextHeight, TextHeight, SetTextHeight, 13))
RTL_DEFINE_CLASS(TApplication)

TApplication* Application = nullptr;

namespace {

// Qt keeps pointers to argc and argv for the life of its application object.
int qtArgc = 1;
char qtProgramName[] = "workbench";
char* qtArgv[] = {qtProgramName, nullptr};
QApplication* ownQtApplication = nullptr;

// Widgets cannot outlive Qt's application object, so the forms go first: from its
// destructor, whoever made it, or at exit. Qt's application object itself is left
// alone at exit: some of Qt's own global objects are gone by then, and its
// destructor would reach them.
void FreeForms() {
  if (Application != nullptr) Application->DestroyComponents();
}

}  // namespace

namespace detail {

void EnsureQtApplication() {
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    qAddPostRoutine(&FreeForms);
    // The toolkit's finaliser runs after the libraries Qt loaded are finalised; an
    // exit handler registered now runs before them.
    std::atexit(&FreeForms);
  }
  if (QApplication::instance() == nullptr) ownQtApplication = new QApplication(qtArgc, qtArgv);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// TForm

namespace {

// The offscreen platform (tests, CI) draws no frame and has none to report: its
// windows get the frame of a classic desktop, the one the descriptions were made on.
const QMargins kOffscreenFrame(4, 23, 4, 4);

bool Offscreen() {
  return QGuiApplication::platformName() == QLatin1String("offscreen");
}

// The frame the window system drew around the last window it reported one for. A
// window that is not on screen yet has none to report, and is expected to get this.
QMargins& LastReportedFrame() {
  static QMargins frame;
  return frame;
}

}  // namespace

// The form's window: its client area. Closing it (the title bar's button, Alt+F4)
// runs the form's close steps instead of Qt's.
class FormWidget final : public QWidget {
 public:
  FormWidget() : frame(Offscreen() ? kOffscreenFrame : LastReportedFrame()) {}
  TForm* form = nullptr;
  // The frame the form's outer size was worked out with.
  QMargins frame;

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    if (form != nullptr) form->CloseFromWindow();
  }

  // The window system reports the frame it drew once the window is on screen, and
  // the window moves then. The outer size stays: the client area gives up to the
  // frame what the frame takes beyond the one expected.
  void moveEvent(QMoveEvent* event) override {
    QWidget::moveEvent(event);
    if (Offscreen() || windowHandle() == nullptr) return;
    const QMargins reported = windowHandle()->frameMargins();
    if (reported.isNull() || reported == frame) return;
    const QSize outer = size().grownBy(frame);
    frame = reported;
    LastReportedFrame() = reported;
    resize(outer.shrunkBy(reported));
  }
};

namespace detail {

QMargins WindowFrame(const QWidget& window) {
  const auto* form = dynamic_cast<const FormWidget*>(&window);
  return form != nullptr ? form->frame : QMargins();
}

}  // namespace detail

namespace {

FormWidget* NewFormWidget() {
  auto* widget = detail::NewWidget<FormWidget>();
  widget->setAttribute(Qt::WA_DeleteOnClose, false);
  return widget;
}

}  // namespace

TForm::TForm(rtl::TComponent* owner) : TWinControl(owner, NewFormWidget()) {
  static_cast<FormWidget*>(Widget())->form = this;
  TWinControl::SetVisible(false);
}

TForm::TForm(rtl::TComponent* owner, rtl::TClass formClass) : TForm(owner) {
  if (formClass == nullptr) throw rtl::Exception("TForm: no form class given");
  std::string resourceName(rtl::ClassName(formClass).View());
  for (char& c : resourceName) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const FormResource* resource = FindFormResource(resourceName);
  if (resource == nullptr) {
    throw rtl::Exception("%s has no form description (no resource named %s)",
                         {rtl::ClassName(formClass), resourceName});
  }
  resourceFile_ = resource->fileName;
  // Held for the whole build: a control's constructor may register descriptions too.
  const std::shared_ptr<const form::Object> tree = ParsedFormResource(*resource);
  FormBuilder(*this, formClass, resource->fileName).Build(*tree);
}

TForm::~TForm() {
  static_cast<FormWidget*>(Widget())->form = nullptr;
}

std::string TForm::Caption() const {
  return detail::FromQt(Widget()->windowTitle());
}

void TForm::SetCaption(const std::string& value) {
  Widget()->setWindowTitle(detail::ToQt(value));
}

void TForm::Show() {
  SetVisible(true);
  // Qt's offscreen platform (tests, CI) has no stacking order and says so loudly.
  if (!Offscreen()) Widget()->raise();
}

void TForm::SetVisible(bool value) {
  TWinControl::SetVisible(value);
}

void TForm::UpdateShowing() {
  // A form is a window of its own unless placed in another control.
  if (Parent() == nullptr) {
    Widget()->setVisible(Visible());
  } else {
    TWinControl::UpdateShowing();
  }
}

void TForm::Close() {
  TCloseAction action = caHide;
  if (OnClose.Code != nullptr) {
    rtl::InvokeMethod<rtl::TObject*, TCloseAction&>(OnClose, this, action);
  }
  if (action == caNone) return;
  if (Application != nullptr && Application->MainForm() == this) {
    Hide();
    Application->Terminate();
    return;
  }
  switch (action) {
    case caMinimize:
      Widget()->showMinimized();
      break;
    case caFree:
      Hide();
      // Freed from the event loop, not from inside the handler that closed it. If
      // someone frees it first, its widget goes with it and so does this call.
      QTimer::singleShot(0, Widget(), [this] { delete this; });
      break;
    default:
      Hide();
      break;
  }
}

void TForm::CloseFromWindow() {
  detail::Guarded([this] { Close(); });
}

rtl::TComponent* TForm::FieldComponent(std::string_view name, rtl::TClass expected) const {
  rtl::TComponent* component = FindComponent(name);
  const std::string file = resourceFile_.empty() ? std::string("(no description)") : resourceFile_;
  if (component == nullptr) {
    throw rtl::Exception("%s: %s has a field %s, but its description has no control of that name",
                         {file, ClassName(), name});
  }
  if (!component->InheritsFrom(expected)) {
    const std::string message =
        rtl::Format("%s is a %s, but %s declares its field %s as %s",
                    {name, component->ClassName(), ClassName(), name, rtl::ClassName(expected)});
    auto place = places_.find(name);
    if (place == places_.end()) throw rtl::Exception(file + ": " + message);
    throw form::PlacedError(place->second.fileName, {place->second.line, place->second.column},
                            message);
  }
  return component;
}

// ---------------------------------------------------------------------------
// TApplication

TApplication::TApplication(rtl::TComponent* owner) : rtl::TComponent(owner) {}

TApplication::~TApplication() {
  DestroyComponents();
}

namespace {

// Qt's own texts (the standard dialogs' titles, buttons and labels) in the language
// of the user's locale, as the program's windows are. Loaded again when the locale
// has changed since, or for a new application object: the old one took its
// translator along.
void UseQtTranslations() {
  static QPointer<QTranslator> translator;
  static QPointer<QCoreApplication> triedIn;
  static QString triedFor;
  const QLocale locale;
  if (triedIn == QCoreApplication::instance() && triedFor == locale.name()) return;
  delete translator.data();
  triedIn = QCoreApplication::instance();
  triedFor = locale.name();
  auto* loaded = new QTranslator(QCoreApplication::instance());
  if (loaded->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                   QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(loaded);
    translator = loaded;
  } else {
    delete loaded;
  }
}

}  // namespace

void TApplication::Initialize() {
  detail::EnsureQtApplication();
  UseQtTranslations();
  // The program ends when its main form closes, not when its last window does.
  QApplication::setQuitOnLastWindowClosed(false);
}

void TApplication::CreateForm(rtl::TClass formClass, TForm** reference) {
  if (reference != nullptr) *reference = nullptr;
  if (formClass == nullptr) throw rtl::Exception("CreateForm: no form class given");
  if (!rtl::InheritsFrom(formClass, TForm::StaticClass())) {
    throw rtl::Exception("CreateForm: %s is not a form class", {rtl::ClassName(formClass)});
  }
  if (formClass->Create == nullptr) {
    throw rtl::Exception("CreateForm: %s cannot be created with an owner",
                         {rtl::ClassName(formClass)});
  }
  auto* form = static_cast<TForm*>(formClass->Create(this));
  if (reference != nullptr) *reference = form;
  FormCreated(form);
}

void TApplication::FormCreated(TForm* form) {
  if (MainForm() == nullptr) mainForm_ = form;
}

TForm* TApplication::MainForm() const {
  // DestroyComponents frees forms without telling anyone: only a form still owned
  // counts.
  if (mainForm_ == nullptr) return nullptr;
  for (int i = 0; i < ComponentCount(); ++i) {
    if (Components(i) == mainForm_) return mainForm_;
  }
  return nullptr;
}

void TApplication::Notification(rtl::TComponent* component, rtl::TOperation operation) {
  rtl::TComponent::Notification(component, operation);
  if (operation == rtl::TOperation::opRemove && component == mainForm_) {
    mainForm_ = nullptr;
    // A loop waiting for a main form that is gone would never end.
    if (running_) Terminate();
  }
}

void TApplication::Run() {
  TForm* mainForm = MainForm();
  if (mainForm == nullptr || running_) return;
  if (terminated_) {
    terminated_ = false;
    return;
  }
  Initialize();
  mainForm->Show();
  running_ = true;
  while (!terminated_ && MainForm() != nullptr) QApplication::exec();
  running_ = false;
  terminated_ = false;
}

void TApplication::Terminate() {
  terminated_ = true;
  if (running_) QCoreApplication::exit(0);
}

void TApplication::ProcessMessages() {
  detail::EnsureQtApplication();
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::ShowException(const std::exception& error) {
  if (const auto* framework = dynamic_cast<const rtl::Exception*>(&error)) {
    GetDialogService().ShowException(framework->Message());
  } else {
    GetDialogService().ShowException(error.what());
  }
}

void TApplication::HandleException() noexcept {
  std::exception_ptr current = std::current_exception();
  if (current == nullptr) return;
  try {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& error) {
      ShowException(error);
    } catch (...) {
      ShowException(rtl::Exception(""));
    }
  } catch (...) {
    // The display itself failed; there is nowhere left to report it.
  }
}

// ---------------------------------------------------------------------------
// Form resources

namespace {

std::map<std::string, FormResource, std::less<>>& Resources() {
  static std::map<std::string, FormResource, std::less<>> resources;
  return resources;
}

// The tree of each description, read when the first form of its class is built:
// every form of the class is built from the same text, and reading it took a tenth
// of the time a form takes to build. Registering a name again or unregistering it
// drops its tree. Never destroyed, as a static destructor may unregister a
// description after this file's statics are gone.
using ParsedForms = std::map<std::string, std::shared_ptr<const form::Object>, std::less<>>;
ParsedForms& Parsed() {
  static auto* parsed = new ParsedForms();
  return *parsed;
}

void ForgetParsed(std::string_view name) noexcept {
  auto& parsed = Parsed();
  if (const auto found = parsed.find(name); found != parsed.end()) parsed.erase(found);
}

}  // namespace

std::shared_ptr<const form::Object> ParsedFormResource(const FormResource& resource) {
  auto& parsed = Parsed();
  if (const auto found = parsed.find(resource.name); found != parsed.end()) return found->second;
  auto tree =
      std::make_shared<const form::Object>(form::ParseForm(resource.text, resource.fileName));
  parsed.emplace(resource.name, tree);
  return tree;
}

void RegisterFormResource(const char* name, const char* fileName, std::string_view text) noexcept {
  if (name == nullptr) return;
  FormResource& resource = Resources()[name];
  resource.name = name;
  resource.fileName = fileName != nullptr ? fileName : name;
  resource.text.assign(text.data(), text.size());
  ForgetParsed(name);
}

void UnregisterFormResource(std::string_view name) noexcept {
  auto& resources = Resources();
  auto found = resources.find(name);
  if (found != resources.end()) resources.erase(found);
  ForgetParsed(name);
}

const FormResource* FindFormResource(std::string_view name) {
  auto& resources = Resources();
  auto found = resources.find(name);
  return found == resources.end() ? nullptr : &found->second;
}

// ---------------------------------------------------------------------------
// The toolkit as a module

namespace {

rtl::TLibModule toolkitModule;

// The toolkit is in the module list, and its application object exists, from the
// moment it is loaded until it is unloaded. Nothing here may throw: it runs inside
// the dynamic linker.
__attribute__((constructor)) void LoadToolkit() {
  try {
    toolkitModule.Instance = rtl::ModuleFromAddress(reinterpret_cast<const void*>(&LoadToolkit));
    rtl::RegisterModule(&toolkitModule);
    Application = new TApplication(nullptr);
  } catch (...) {
  }
}

__attribute__((destructor)) void UnloadToolkit() {
  try {
    TApplication* application = Application;
    Application = nullptr;
    delete application;
    rtl::UnregisterModule(&toolkitModule);
  } catch (...) {
  }
}

}  // namespace

}  // namespace toolkit
