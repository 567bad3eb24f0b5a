#include "toolkit/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "rtl/sysutils.h"
#include "toolkit_internal.h"

namespace toolkit {

RTL_DEFINE_CLASS(TOpenDialog)

DialogService::~DialogService() = default;

namespace {

QString BoxTitle() {
  const QString name = QApplication::applicationName();
  return name.isEmpty() ? QStringLiteral("Workbench") : name;
}

// Qt's own boxes. Each one is modal and waits in a nested event loop.
class QtDialogService final : public DialogService {
 public:
  void ShowMessage(const std::string& text) override {
    detail::EnsureQtApplication();
    QMessageBox box(QMessageBox::NoIcon, BoxTitle(), detail::ToQt(text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }

  void ShowException(const std::string& message) override {
    detail::EnsureQtApplication();
    QMessageBox box(QMessageBox::Critical, BoxTitle(), detail::ToQt(message), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }

  std::optional<std::string> OpenFile(const TOpenDialog& dialog) override {
    detail::EnsureQtApplication();
    const QString path = QFileDialog::getOpenFileName(nullptr, detail::ToQt(dialog.Title()),
                                                      detail::ToQt(dialog.InitialDir()),
                                                      detail::ToQt(dialog.Filter()));
    if (path.isEmpty()) return std::nullopt;
    return detail::FromQt(path);
  }
};

QtDialogService qtDialogs;
DialogService* currentService = nullptr;

}  // namespace

DialogService& GetDialogService() {
  return currentService != nullptr ? *currentService : qtDialogs;
}

DialogService* SetDialogService(DialogService* service) {
  DialogService* previous = &GetDialogService();
  currentService = service;
  return previous == &qtDialogs ? nullptr : previous;
}

void ShowMessage(const std::string& text) {
  GetDialogService().ShowMessage(text);
}

// ---------------------------------------------------------------------------
// ScriptedDialogService

void ScriptedDialogService::ShowMessage(const std::string& text) {
  boxes_.push_back({BoxKind::Message, text});
}

void ScriptedDialogService::ShowException(const std::string& message) {
  boxes_.push_back({BoxKind::Exception, message});
}

std::optional<std::string> ScriptedDialogService::OpenFile(const TOpenDialog& dialog) {
  ++openRuns_;
  if (answers_.empty()) {
    ++unanswered_;
    throw rtl::Exception("The open dialog %s ran with no scripted answer",
                         {dialog.Name().empty() ? std::string("(unnamed)") : dialog.Name()});
  }
  std::optional<std::string> answer = std::move(answers_.front());
  answers_.pop_front();
  return answer;
}

void ScriptedDialogService::AnswerOpen(std::string path) {
  answers_.emplace_back(std::move(path));
}

void ScriptedDialogService::CancelOpen() {
  answers_.emplace_back(std::nullopt);
}

std::vector<std::string> ScriptedDialogService::Messages() const {
  std::vector<std::string> texts;
  for (const Box& box : boxes_) {
    if (box.kind == BoxKind::Message) texts.push_back(box.text);
  }
  return texts;
}

std::vector<std::string> ScriptedDialogService::Exceptions() const {
  std::vector<std::string> texts;
  for (const Box& box : boxes_) {
    if (box.kind == BoxKind::Exception) texts.push_back(box.text);
  }
  return texts;
}

void ScriptedDialogService::Reset() {
  boxes_.clear();
  answers_.clear();
  openRuns_ = 0;
  unanswered_ = 0;
}

// ---------------------------------------------------------------------------
// TOpenDialog

TOpenDialog::TOpenDialog(rtl::TComponent* owner) : rtl::TComponent(owner) {}

bool TOpenDialog::Execute() {
  std::optional<std::string> chosen = GetDialogService().OpenFile(*this);
  if (!chosen) return false;
  fileName_ = std::move(*chosen);
  return true;
}

}  // namespace toolkit
