#include "toolkit/dialogs.h"

#include <QApplication>
#include <QColorDialog>
#include <QDateTime>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QScreen>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

#include "toolkit/forms.h"
#include "toolkit_internal.h"

namespace toolkit {

RTL_DEFINE_CLASS(TOpenDialog, RTL_PROPERTY(TOpenDialog, Left, Left, SetLeft, 0),
                 RTL_PROPERTY(TOpenDialog, Top, Top, SetTop, 0),
                 RTL_PROPERTY(TOpenDialog, Title, Title, SetTitle),
                 RTL_PROPERTY(TOpenDialog, Filter, Filter, SetFilter),
                 RTL_PROPERTY(TOpenDialog, InitialDir, InitialDir, SetInitialDir),
                 RTL_PROPERTY(TOpenDialog, FileName, FileName, SetFileName))

DialogService::~DialogService() = default;

std::optional<std::uint32_t> DialogService::ChooseColor(std::uint32_t initial,
                                                        const std::string& title) {
  detail::EnsureQtApplication();
  const QColor chosen = QColorDialog::getColor(QColor::fromRgb(static_cast<QRgb>(initial)), nullptr,
                                               detail::ToQt(title));
  if (!chosen.isValid()) return std::nullopt;
  return static_cast<std::uint32_t>(chosen.rgb()) & 0xFFFFFFu;
}

namespace {

QString BoxTitle() {
  const QString name = QApplication::applicationName();
  return name.isEmpty() ? QStringLiteral("Workbench") : name;
}

// The font the forms are drawn in: that of the form the dialog belongs to, else the
// main form's, else Qt's own.
QFont FormsFont(const rtl::TComponent* owner) {
  for (const rtl::TComponent* c = owner; c != nullptr; c = c->Owner()) {
    if (const auto* control = dynamic_cast<const TControl*>(c)) return control->Widget()->font();
  }
  if (Application != nullptr && Application->MainForm() != nullptr) {
    return Application->MainForm()->Widget()->font();
  }
  return QApplication::font();
}

// Qt sizes a box by its text alone and leaves the title to the window manager, which
// cuts it short in a narrow box. A strip as wide as the title in a bold font, with
// room beside it for the title bar's icon and buttons, keeps the title whole.
void FitTitle(QMessageBox& box) {
  QFont titleFont = QApplication::font();
  titleFont.setBold(true);
  const QFontMetrics metrics(titleFont);
  const int width = metrics.horizontalAdvance(box.windowTitle()) + 8 * metrics.height();
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
}

void ShowBox(QMessageBox::Icon icon, const std::string& text) {
  detail::EnsureQtApplication();
  QMessageBox box(icon, BoxTitle(), detail::ToQt(text), QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.setFont(FormsFont(nullptr));
  FitTitle(box);
  box.exec();
}

// Columns as wide as what they show, whatever widths an earlier run saved, and a
// dialog wide enough to show them side by side: sized for a folder of packages when
// it opens, then widened if what it shows needs more. A native dialog has no such
// view and is left as it is.
void FitColumns(QFileDialog& dialog) {
  auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
  auto* model = dialog.findChild<QFileSystemModel*>();
  if (view == nullptr || model == nullptr) return;
  QHeaderView* header = view->header();
  for (int column = 0; column < header->count(); ++column) {
    header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
  }

  const QFontMetrics metrics(view->font());
  const QLocale locale;
  const QString samples[] = {
      QString(28, QLatin1Char('n')), locale.formattedDataSize(1023 * 1024 - 1),
      QMimeDatabase().mimeTypeForName(QStringLiteral("application/x-sharedlib")).comment(),
      locale.toString(QDateTime(QDate(2000, 12, 28), QTime(23, 58)), QLocale::ShortFormat)};
  int columns = 0;
  for (const QString& sample : samples) {
    columns += metrics.horizontalAdvance(sample) + 2 * metrics.height();  // icon, margins
  }
  // Beside the list: the places on the left, the margins and the scroll bar.
  const QSize start(columns + 12 * metrics.height(), 28 * metrics.height());
  dialog.resize(dialog.sizeHint().expandedTo(start));

  // Measured once the dialog is laid out on screen, and again whenever a folder loads.
  auto widen = [&dialog, view, header] {
    if (!dialog.isVisible()) return;
    // Without the last column's stretch, the header's length is what the columns need.
    header->setStretchLastSection(false);
    header->resizeSections(QHeaderView::ResizeToContents);
    int width = dialog.width() - view->viewport()->width() + header->length();
    header->setStretchLastSection(true);
    if (const QScreen* screen = dialog.screen()) {
      width = std::min(width, screen->availableGeometry().width());
    }
    if (width > dialog.width()) dialog.resize(width, dialog.height());
  };
  QTimer::singleShot(0, &dialog, widen);
  QObject::connect(model, &QFileSystemModel::directoryLoaded, &dialog, widen);
}

// Qt's own boxes. Each one is modal and waits in a nested event loop.
class QtDialogService final : public DialogService {
 public:
  void ShowMessage(const std::string& text) override { ShowBox(QMessageBox::NoIcon, text); }

  void ShowException(const std::string& message) override {
    ShowBox(QMessageBox::Critical, message);
  }

  std::optional<std::string> OpenFile(const TOpenDialog& dialog) override {
    detail::EnsureQtApplication();
    QFileDialog box(nullptr, detail::ToQt(dialog.Title()), detail::ToQt(dialog.InitialDir()),
                    detail::ToQt(dialog.Filter()));
    box.setAcceptMode(QFileDialog::AcceptOpen);
    box.setFileMode(QFileDialog::ExistingFile);
    box.setFont(FormsFont(&dialog));
    FitColumns(box);
    if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty()) return std::nullopt;
    return detail::FromQt(box.selectedFiles().constFirst());
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
// TOpenDialog

TOpenDialog::TOpenDialog(rtl::TComponent* owner) : rtl::TComponent(owner) {}

bool TOpenDialog::Execute() {
  std::optional<std::string> chosen = GetDialogService().OpenFile(*this);
  if (!chosen) return false;
  fileName_ = std::move(*chosen);
  return true;
}

}  // namespace toolkit
