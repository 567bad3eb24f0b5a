#include "toolkit/forms.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>
#include <cstdlib>

#include "rtl/package.h"
#include "rtl/sysutils.h"
#include "toolkit/dialogs.h"
#include "toolkit_internal.h"

namespace toolkit {

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

void HandleException() noexcept {
  if (Application != nullptr) Application->HandleException();
}

}  // namespace detail

TApplication::TApplication(rtl::TComponent* owner) : rtl::TComponent(owner) {}

TApplication::~TApplication() {
  DestroyComponents();
}

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
