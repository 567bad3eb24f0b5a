#include "PropertyGrid.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>
#include <climits>

#include "rtl/sysutils.h"
#include "toolkit/dialogs.h"

RTL_DEFINE_CLASS(TPropertyGrid)

namespace {

// The form builder finds the grid by name, as it finds a package's controls.
const bool registered = (rtl::RegisterClass(TPropertyGrid::StaticClass()), true);

QString ToQt(const std::string& text) {
  return QString::fromStdString(text);
}

// A list of texts is edited as lines; it is reported when the editor loses focus,
// not at every key.
class LinesEditor final : public QPlainTextEdit {
 public:
  std::function<void()> left;

 protected:
  void focusOutEvent(QFocusEvent* event) override {
    QPlainTextEdit::focusOutEvent(event);
    if (document()->isModified() && left) left();
  }
};

void ShowColour(QPushButton& button, std::uint32_t rgb) {
  const QString text = ToQt(rtl::ToText(rtl::TColor{rgb}));
  button.setText(text);
  button.setStyleSheet(QStringLiteral("text-align: left; border-left: 16px solid %1;").arg(text));
}

enum Column { kName, kType, kValue };

}  // namespace

TPropertyGrid::TPropertyGrid(rtl::TComponent* owner) : TWinControl(owner, new QTableWidget(0, 3)) {
  QTableWidget* table = Table();
  table->setHorizontalHeaderLabels(
      {QStringLiteral("Property"), QStringLiteral("Type"), QStringLiteral("Value")});
  table->verticalHeader()->hide();
  table->horizontalHeader()->setStretchLastSection(true);
  table->setSelectionMode(QAbstractItemView::NoSelection);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

TPropertyGrid::~TPropertyGrid() = default;

QTableWidget* TPropertyGrid::Table() const {
  return static_cast<QTableWidget*>(Widget());
}

int TPropertyGrid::RowCount() const {
  return Table()->rowCount();
}

void TPropertyGrid::Clear() {
  Table()->setRowCount(0);
  rows_.clear();
  methods_.clear();
}

void TPropertyGrid::Fill(const rtl::TObject& object, const std::vector<Method>& methods) {
  Clear();
  QTableWidget* table = Table();
  const auto add = [table](const std::string& name, const std::string& type, QWidget* editor) {
    const int row = table->rowCount();
    table->insertRow(row);
    table->setItem(row, kName, new QTableWidgetItem(ToQt(name)));
    table->setItem(row, kType, new QTableWidgetItem(ToQt(type)));
    table->setCellWidget(row, kValue, editor);
  };
  for (const rtl::TPublishedProperty* property : rtl::GetPropList(object.ClassType())) {
    QWidget* editor = MakeEditor(*property);
    rows_.push_back(Row{property->Name, property->Type, editor});
    add(property->Name, rtl::TypeName(property->Type), editor);
  }
  for (const Method& method : methods) {
    methods_.push_back(method.name);
    add(method.name, "method", MakeMethodButton(method));
  }
  table->resizeColumnsToContents();
  Refresh(object);
}

void TPropertyGrid::Refresh(const rtl::TObject& object) {
  for (const Row& row : rows_) {
    try {
      Show(row, rtl::GetPropValue(object, row.name));
    } catch (const std::exception& error) {
      // Nothing in the row can stand for a value the getter would not give.
      row.editor->setEnabled(false);
      row.editor->setToolTip(ToQt(error.what()));
    }
  }
}

void TPropertyGrid::Show(const Row& row, const rtl::TValue& value) const {
  const QSignalBlocker quiet(row.editor);
  row.editor->setEnabled(true);
  row.editor->setToolTip({});
  if (auto* spin = qobject_cast<QSpinBox*>(row.editor)) {
    spin->setValue(std::get<int>(value));
  } else if (auto* check = qobject_cast<QCheckBox*>(row.editor)) {
    check->setChecked(std::get<bool>(value));
  } else if (auto* combo = qobject_cast<QComboBox*>(row.editor)) {
    combo->setCurrentIndex(std::get<rtl::TEnumValue>(value).Ordinal);
  } else if (auto* button = qobject_cast<QPushButton*>(row.editor)) {
    ShowColour(*button, std::get<rtl::TColor>(value).Value);
  } else if (auto* line = qobject_cast<QLineEdit*>(row.editor)) {
    line->setText(ToQt(rtl::ToText(value)));
    line->setModified(false);
  } else if (auto* lines = dynamic_cast<LinesEditor*>(row.editor)) {
    lines->setPlainText(ToQt(rtl::ToText(value)));
    lines->document()->setModified(false);
  }
}

QWidget* TPropertyGrid::MakeEditor(const rtl::TPublishedProperty& property) {
  const std::string name = property.Name;
  switch (property.Type.Kind) {
    case rtl::TTypeKind::Integer: {
      auto* spin = new QSpinBox;
      spin->setRange(INT_MIN, INT_MAX);
      // Reported once the user is done (Enter, an arrow, leaving it), not at each digit.
      spin->setKeyboardTracking(false);
      QObject::connect(spin, &QSpinBox::valueChanged, spin,
                       [this, name](int value) { Edited(name, std::to_string(value)); });
      return spin;
    }
    case rtl::TTypeKind::Boolean: {
      auto* check = new QCheckBox;
      QObject::connect(check, &QCheckBox::toggled, check,
                       [this, name](bool on) { Edited(name, on ? "True" : "False"); });
      return check;
    }
    case rtl::TTypeKind::Enumeration: {
      auto* combo = new QComboBox;
      for (const std::string& value : property.Type.Enum->Names) combo->addItem(ToQt(value));
      QObject::connect(combo, &QComboBox::activated, combo, [this, name, combo](int) {
        Edited(name, combo->currentText().toStdString());
      });
      return combo;
    }
    case rtl::TTypeKind::Colour: {
      auto* button = new QPushButton;
      QObject::connect(button, &QPushButton::clicked, button, [this, name, button] {
        const std::uint32_t now =
            std::get<rtl::TColor>(
                rtl::FromText({rtl::TTypeKind::Colour, nullptr}, button->text().toStdString()))
                .Value;
        if (auto chosen = toolkit::GetDialogService().ChooseColor(now, name)) {
          Edited(name, rtl::ToText(rtl::TColor{*chosen}));
        }
      });
      return button;
    }
    case rtl::TTypeKind::TextList: {
      auto* lines = new LinesEditor;
      lines->left = [this, name, lines] { Edited(name, lines->toPlainText().toStdString()); };
      return lines;
    }
    case rtl::TTypeKind::Text:
    case rtl::TTypeKind::Set:
      break;
  }
  // A text, or a set written as "[fsBold,fsItalic]".
  auto* line = new QLineEdit;
  QObject::connect(line, &QLineEdit::editingFinished, line, [this, name, line] {
    if (line->isModified()) Edited(name, line->text().toStdString());
  });
  return line;
}

QWidget* TPropertyGrid::MakeMethodButton(const Method& method) {
  auto* button =
      new QPushButton(method.callable ? QStringLiteral("Call") : QStringLiteral("takes arguments"));
  button->setEnabled(method.callable);
  const std::string name = method.name;
  QObject::connect(button, &QPushButton::clicked, button, [this, name] {
    if (OnCall) OnCall(name);
  });
  return button;
}

void TPropertyGrid::Edited(const std::string& name, const std::string& text) {
  if (OnEdited) OnEdited(name, text);
}

int TPropertyGrid::RowOf(std::string_view name) const {
  for (int row = 0; row < Table()->rowCount(); ++row) {
    if (Table()->item(row, kName)->text().toStdString() == name) return row;
  }
  return -1;
}

QWidget* TPropertyGrid::Editor(std::string_view name) const {
  const int row = RowOf(name);
  return row < 0 ? nullptr : Table()->cellWidget(row, kValue);
}

std::string TPropertyGrid::TypeText(std::string_view name) const {
  const int row = RowOf(name);
  return row < 0 ? std::string() : Table()->item(row, kType)->text().toStdString();
}
