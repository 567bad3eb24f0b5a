#pragma once

// Reload on rebuild: the workbench watches one package file and, each time a build
// has replaced it, takes the new file into the slot the way the user would by hand.
//
// What the slot holds is a copy of the build, beside it under a hidden name: a build
// tool that writes its output in place (cp does) would otherwise change the code
// and data of the loaded package under the running workbench, which no check can
// survive. The copy's folder is the build's, so required packages are found as
// beside the build itself.

#include <QObject>
#include <QTimer>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "rtl/package_file.h"
#include "rtl/sysutils.h"

class QFileSystemWatcher;

class PackageReloader final : public QObject {
 public:
  // How long the file must stay as it is before it counts as built.
  static constexpr std::chrono::milliseconds kSettle{300};

  // Watches the file (an absolute path) from now on. The slot's package counts as
  // the file's when it was loaded from that path.
  explicit PackageReloader(std::string file, std::chrono::milliseconds settle = kSettle);
  ~PackageReloader() override;
  PackageReloader(const PackageReloader&) = delete;
  PackageReloader& operator=(const PackageReloader&) = delete;

  const std::string& File() const noexcept { return file_; }
  // Copies the file as it is now to the copy that the slot loads, and returns the
  // copy's path; the file's own path when it cannot be copied, so that the load
  // says why.
  std::string Snapshot();
  // The reloads done since the watch began, failed ones included.
  int Reloads() const noexcept { return reloads_; }

 private:
  // Something happened to the file or its folder: wait for it to settle.
  void Touched();
  // The settle time is over: reload when the file is whole and new.
  void Settled();
  void Reload();
  void WatchFile();

  std::string file_;
  std::string copy_;  // ".<name>.<pid>.workbench" beside it
  std::unique_ptr<QFileSystemWatcher> watcher_;
  QTimer settle_;
  // The file as last seen: a settle period that ends with it changed again waits on.
  std::optional<rtl::TFileIdentity> seen_;
  // The file as last taken into the slot (or tried): nothing new, nothing to do.
  std::optional<rtl::TFileIdentity> taken_;
  std::string procedure_;  // run for the watched package
  int incomplete_ = 0;     // settle periods the file has stayed unreadable
  int reloads_ = 0;
};
