#include "CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "Registration.h"
#include "Unit1.h"
#include "rtl/sysutils.h"
#include "toolkit/forms.h"

namespace {

// LoadPack, from the point where its open dialog has returned the file: the trial
// included.
void PutInSlot(const std::string& file) {
  Form1->LoadIntoSlot(file);
}

// "Найти ф-ю регистрации:" with the name typed into its box. The name stays there,
// so the button runs it again after the package is rebuilt. The button is silent
// about a name the package does not export; typed on the command line, such a name
// is a mistake the author must hear of, with the names that would do.
void RunRegistrationProcedure(const std::string& file, const std::string& name) {
  Form1->Edit3->SetText(name);
  if (LoadedPackage != 0 && !ExportsProcedure(LoadedPackage, name)) {
    const std::vector<std::string> exported = RegistrationProcedures(LoadedPackage);
    std::string names;
    for (const std::string& procedure : exported) names += (names.empty() ? "" : ", ") + procedure;
    const std::string message = rtl::Format(
        "%s does not export the registration procedure %s; %s",
        {file, name, exported.empty() ? std::string("it exports none") : "it exports " + names});
    std::fprintf(stderr, "workbench: %s\n", message.c_str());
    throw rtl::Exception(message);
  }
  Form1->Button8Click(Form1->Button8);
}

// A package alone: when it exports exactly one registration procedure, that name
// goes into the box, ready for the button; otherwise the box keeps its text.
void OfferTheOnlyProcedure() {
  if (LoadedPackage == 0) return;
  const std::vector<std::string> exported = RegistrationProcedures(LoadedPackage);
  if (exported.size() == 1) Form1->Edit3->SetText(exported.front());
}

[[noreturn]] void AnswerOnTerminal(int argc, char** argv, QCommandLineParser& parser, bool tooMany,
                                   bool watchNothing) {
  // A core application object needs no display; with it Qt prints the help, the
  // version and its own errors. The help's usage line names the program, not the
  // path it was started by.
  std::vector<char*> args(argv, argv + argc);
  char name[] = "workbench";
  args[0] = name;
  int count = argc;
  QCoreApplication core(count, args.data());
  if (tooMany || watchNothing) {
    std::fprintf(stderr, "workbench: %s\n\n%s",
                 tooMany ? "too many arguments: give at most PACKAGE and PROCEDURE"
                         : "--watch needs a PACKAGE to watch",
                 qPrintable(parser.helpText()));
    std::exit(EXIT_FAILURE);
  }
  parser.process(core);
  // process() has answered and ended the process; nothing else brings us here.
  std::exit(EXIT_FAILURE);
}

}  // namespace

CommandLineRequest ReadCommandLine(int argc, char** argv) {
  QCoreApplication::setApplicationName(QStringLiteral("workbench"));
  QCoreApplication::setApplicationVersion(QStringLiteral(WORKBENCH_VERSION));
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "A workbench for run-time packages: loads one into its slot, runs its registration\n"
      "procedures into the component palette, and lists the modules the process has loaded.\n"
      "\n"
      "Environment (read once, at start):\n"
      "  WB_TRIAL=0            run package code without trying it first in the trial host\n"
      "  WB_TRIAL_TIMEOUT=S    a trial's time limit in seconds (10; at most 86400)\n"
      "  WB_TRIAL_SETTLE=S     seconds of event loop before a trial's final unload (0)\n"
      "  WB_TRIAL_MEMORY=MIB   what a trial may allocate, in MiB (1024)\n"
      "  WB_TRIAL_ISOLATE=0    run trials without namespaces of their own\n"
      "  WB_RESTART=0          do not start the workbench again after package code\n"
      "                        kills it (also for running it under a debugger)"));
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption watch(
      QStringLiteral("watch"),
      QStringLiteral("Watch PACKAGE: each time a build replaces it, unload it, load the new "
                     "file (tried first), run the procedure again if it was run, and reopen "
                     "the previews of its classes."));
  parser.addOption(watch);
  parser.addPositionalArgument(QStringLiteral("PACKAGE"),
                               QStringLiteral("Package file to load into the slot at start, as "
                                              "LoadPack does."),
                               QStringLiteral("[PACKAGE"));
  parser.addPositionalArgument(
      QStringLiteral("PROCEDURE"),
      QStringLiteral("Registration procedure to run from PACKAGE once it is loaded, as the "
                     "button \"Найти ф-ю регистрации:\" does (for example "
                     "@Stdreg@Register$qqrv)."),
      QStringLiteral("[PROCEDURE]]"));

  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const bool read = parser.parse(arguments);
  const QStringList positional = parser.positionalArguments();
  if (!read || parser.isSet(help) || parser.isSet(QStringLiteral("help-all")) ||
      parser.isSet(version) || positional.size() > 2 ||
      (parser.isSet(watch) && positional.isEmpty())) {
    AnswerOnTerminal(argc, argv, parser, read && positional.size() > 2,
                     read && parser.isSet(watch) && positional.isEmpty());
  }

  CommandLineRequest request;
  if (!positional.isEmpty()) {
    // The open dialog hands LoadPack absolute paths; the loader looks for required
    // packages beside the package, and the inspector shows the path as loaded.
    const std::filesystem::path file(positional[0].toLocal8Bit().toStdString());
    // An empty name stays empty, for the loader to refuse by name.
    request.package =
        file.empty() ? std::string() : std::filesystem::absolute(file).lexically_normal().string();
  }
  if (positional.size() > 1) request.procedure = positional[1].toStdString();
  request.watch = parser.isSet(watch);
  return request;
}

std::string MissingDisplay() {
  const auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  const std::string platform = variable("QT_QPA_PLATFORM");
  const bool x11 = platform.empty() || platform.starts_with("xcb");
  const bool wayland = platform.empty() || platform.starts_with("wayland");
  // Another platform (offscreen, vnc, eglfs) finds its own way, or says why.
  if (!x11 && !wayland) return {};
  if (wayland && !variable("WAYLAND_DISPLAY").empty()) return {};
  const std::string display = variable("DISPLAY");
  if (x11 && !display.empty()) {
    // ":0" or ":0.0" is served by a local socket, which is there or not; any other
    // form is left to Qt to try.
    if (!display.starts_with(':')) return {};
    const std::string number = display.substr(1, display.find('.') - 1);
    if (std::filesystem::exists("/tmp/.X11-unix/X" + number)) return {};
    return "no display: nothing serves DISPLAY=" + display +
           "; run it in a desktop session, or under a virtual display with xvfb-run -a workbench";
  }
  return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set; run it in a desktop session, "
         "or under a virtual display with xvfb-run -a workbench";
}

void OpenFromCommandLine(const CommandLineRequest& request) {
  if (!request.package) return;
  try {
    PutInSlot(*request.package);
    if (request.procedure) {
      RunRegistrationProcedure(*request.package, *request.procedure);
    } else {
      OfferTheOnlyProcedure();
    }
  } catch (...) {
    toolkit::Application->HandleException();
  }
}
