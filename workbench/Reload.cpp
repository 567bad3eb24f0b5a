#include "Reload.h"

#include <limits.h>
#include <unistd.h>

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "Unit1.h"
#include "Unit4.h"
#include "rtl/classes.h"
#include "toolkit/forms.h"

namespace {

std::string SlotFile() {
  if (LoadedPackage == 0) return {};
  char path[PATH_MAX];
  return rtl::GetModuleFileNameA(LoadedPackage, path, sizeof path) > 0 ? std::string(path)
                                                                       : std::string();
}

// A linker that writes in place may pause longer than the settle time; a file that is
// not whole yet is given this many more periods before it is loaded all the same, so
// that a file that stays broken is reported rather than waited on for ever.
constexpr int kPatience = 3;

}  // namespace

PackageReloader::PackageReloader(std::string file, std::chrono::milliseconds settle)
    : file_(std::move(file)),
      copy_((std::filesystem::path(file_).parent_path() /
             ("." + std::filesystem::path(file_).filename().string() + "." +
              std::to_string(getpid()) + ".workbench"))
                .string()),
      watcher_(std::make_unique<QFileSystemWatcher>()),
      seen_(rtl::IdentityOfFile(file_)),
      taken_(seen_) {
  settle_.setSingleShot(true);
  settle_.setInterval(settle);
  QObject::connect(&settle_, &QTimer::timeout, this, [this] { Settled(); });
  // The folder tells of a file renamed over the old one, or removed and made again;
  // the file itself of a write in place.
  watcher_->addPath(QFileInfo(QString::fromStdString(file_)).absolutePath());
  WatchFile();
  QObject::connect(watcher_.get(), &QFileSystemWatcher::fileChanged, this, [this] { Touched(); });
  QObject::connect(watcher_.get(), &QFileSystemWatcher::directoryChanged, this,
                   [this] { Touched(); });
}

PackageReloader::~PackageReloader() {
  // A copy still loaded stays mapped until the package is unloaded; its name goes.
  std::error_code ignored;
  std::filesystem::remove(copy_, ignored);
}

std::string PackageReloader::Snapshot() {
  // Written under another name and renamed over the last copy: the copy that may
  // still be loaded keeps its own contents.
  const std::string fresh = copy_ + ".new";
  std::error_code error;
  std::filesystem::copy_file(file_, fresh, std::filesystem::copy_options::overwrite_existing,
                             error);
  if (!error) std::filesystem::rename(fresh, copy_, error);
  if (error) {
    std::filesystem::remove(fresh, error);
    return file_;
  }
  return copy_;
}

void PackageReloader::WatchFile() {
  const QString path = QString::fromStdString(file_);
  // A file replaced or removed is no longer watched; the new one is watched anew.
  if (!watcher_->files().contains(path) && QFileInfo::exists(path)) watcher_->addPath(path);
}

void PackageReloader::Touched() {
  WatchFile();
  seen_ = rtl::IdentityOfFile(file_);
  incomplete_ = 0;
  settle_.start();
}

void PackageReloader::Settled() {
  WatchFile();
  const std::optional<rtl::TFileIdentity> now = rtl::IdentityOfFile(file_);
  // Gone (between a remove and its new file): the folder tells when it is back.
  if (!now) return;
  if (now != seen_) {
    Touched();
    return;
  }
  if (now == taken_) return;
  try {
    rtl::ReadPackageFile(file_);
  } catch (const rtl::Exception&) {
    if (++incomplete_ <= kPatience) {
      settle_.start();
      return;
    }
  }
  taken_ = now;
  Reload();
}

void PackageReloader::Reload() {
  // A package the user has put in the slot since is left where it is.
  if (LoadedPackage != 0 && SlotFile() != copy_ && SlotFile() != file_) return;
  if (Form1 == nullptr) return;
  ++reloads_;
  // Remembered past a build that failed to load: the next good one runs it again.
  if (!Form1->RanProcedure().empty()) procedure_ = Form1->RanProcedure();
  std::vector<std::string> previewed;
  for (const TForm4* preview : Previews()) {
    previewed.push_back(preview->PreviewedName());
  }
  try {
    Form1->LoadIntoSlot(Snapshot());
    if (!procedure_.empty()) Form1->RunNamedProcedure(procedure_, false);
    for (const std::string& name : previewed) {
      if (rtl::GetClass(name) != nullptr) OpenPreview(name);
    }
  } catch (const rtl::Exception& e) {
    // The author knows the build by its own name, not by the copy the slot holds.
    std::string message = e.Message();
    for (const auto& [copy, file] :
         {std::pair{copy_, file_}, std::pair{std::filesystem::path(copy_).filename().string(),
                                             std::filesystem::path(file_).filename().string()}}) {
      for (std::size_t at = 0; (at = message.find(copy, at)) != std::string::npos;
           at += file.size()) {
        message.replace(at, copy.size(), file);
      }
    }
    toolkit::Application->ShowException(rtl::Exception(message));
  } catch (...) {
    // Shown as the buttons show it; the slot stays as the failure left it, and the
    // next build is tried again.
    toolkit::Application->HandleException();
  }
}
