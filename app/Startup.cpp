#include "Startup.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "Reload.h"
#include "Session.h"
#include "Trial.h"
#include "Unit1.h"
#include "Unit3.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"
#include "toolkit/forms.h"

namespace {

// Keeps the executable in the module list for exactly the length of the run.
class ExecutableModule {
 public:
  ExecutableModule() {
    record_.Instance = rtl::MainInstance();
    rtl::RegisterModule(&record_);
  }
  ~ExecutableModule() { rtl::UnregisterModule(&record_); }
  ExecutableModule(const ExecutableModule&) = delete;
  ExecutableModule& operator=(const ExecutableModule&) = delete;

 private:
  rtl::TLibModule record_;
};

}  // namespace

int RunGuarded(const std::function<void()>& steps) {
  try {
    steps();
  } catch (const rtl::Exception& error) {
    toolkit::Application->ShowException(error);
  } catch (...) {
    // Whatever it was, the user sees the framework's exception box, with nothing
    // in it that the program could vouch for.
    try {
      throw rtl::Exception("");
    } catch (const rtl::Exception& error) {
      toolkit::Application->ShowException(error);
    }
  }
  return 0;
}

namespace {

// The desktop knows the program by its desktop entry (its icon and name in the task
// bar); every window wears the program's icon, from the icon theme where installed.
void ShowAsTheProgram() {
  QGuiApplication::setDesktopFileName(QStringLiteral("package-workbench"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("package-workbench"),
                                               QIcon(QStringLiteral(":/package-workbench.svg"))));
}

// The windows as they were, and the report of what ended the run before, shown
// from the loop once they are on screen.
void Resume(const Resumed& resumed) {
  RestoreSession(resumed.session);
  QTimer::singleShot(0, Form1->Widget(), [report = resumed.report] {
    toolkit::Application->ShowException(rtl::Exception(report));
  });
}

}  // namespace

int RunWorkbench(const CommandLineRequest& request, const RunContext& context) {
  // Every module of the process (the program, the framework and each package it
  // loads) allocates from the C library's one heap, so memory passes freely
  // between them and no shared memory manager needs to be set up first.
  ExecutableModule executable;
  // A run starts with an empty slot, whatever an earlier run in this process left,
  // and the trial host's shadow of it as empty.
  LoadedPackage = 0;
  ResetTrials();
  RunGuarded([&request, &context] {
    toolkit::Application->Initialize();
    ShowAsTheProgram();
    toolkit::Application->CreateForm(Form1);
    toolkit::Application->CreateForm(Form3);
    if (context.resumed) Resume(*context.resumed);
    if (context.keepSession) KeepSession(context.keepSession);
    // Done from the loop, as a button would be: after the main window is shown, and
    // not at all if the main window is gone before the loop comes to it.
    // Watched from the start: a build that finishes while the package loads counts.
    // What is loaded is then the watcher's copy of the file.
    std::unique_ptr<PackageReloader> reloader;
    CommandLineRequest opening = request;
    if (request.watch && request.package && !request.package->empty()) {
      reloader = std::make_unique<PackageReloader>(*request.package, context.settle);
      opening.package = reloader->Snapshot();
    }
    if (opening.package) {
      QTimer::singleShot(0, Form1->Widget(), [opening] { OpenFromCommandLine(opening); });
    }
    // Once the windows are up, the trial host starts and gets ready while the user
    // picks a package; its start does not share the processor with start-up's.
    QTimer::singleShot(0, [] { StartTrialHost(); });
    toolkit::Application->Run();
  });
  StopKeepingSession();
  // The application object owns the windows, and they own what they made. Freed one
  // by one, so the application object hears of each and forgets its main window.
  for (int count = toolkit::Application->ComponentCount(); count > 0;
       count = toolkit::Application->ComponentCount()) {
    delete toolkit::Application->Components(count - 1);
  }
  return 0;
}
