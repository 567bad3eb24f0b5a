#pragma once

#include <optional>
#include <string>

// What the command line `workbench [PACKAGE [PROCEDURE]]` asks of a run.
struct CommandLineRequest {
  // The package file to put in the slot at start, as an absolute path.
  std::optional<std::string> package;
  // The registration procedure to run from it once it is there.
  std::optional<std::string> procedure;
  // --watch: reload the package each time a build replaces its file.
  bool watch = false;
};

// Reads the command line. --help and --version, and a command line that cannot be
// read, are answered on the terminal and end the process there, before anything
// needs a display.
CommandLineRequest ReadCommandLine(int argc, char** argv);

// Why the windows could not be shown here, in a line; empty when a display is at
// hand (or a platform that needs none, such as offscreen). Qt itself would abort.
std::string MissingDisplay();

// Does what the request asks, once the windows exist: puts the package in the slot
// as LoadPack does once its open dialog has returned the file, then runs the
// procedure as "Найти ф-ю регистрации:" does with that name in its box. A name the
// package does not export is an error here, shown and printed on standard error with
// the names it does export. Without a procedure, a package that exports exactly one
// gets its name put in the box. A failure is shown by the exception display, like any
// button's, and ends the request there; the run goes on.
void OpenFromCommandLine(const CommandLineRequest& request);
