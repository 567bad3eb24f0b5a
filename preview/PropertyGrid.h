#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/object.h"
#include "rtl/properties.h"
#include "toolkit/controls.h"

class QTableWidget;

// The published properties of one object, a row each with its name, its type and its
// value in an editor that suits the type; below them the published methods, with a
// button for each one that takes no arguments. The grid only shows and reports: what
// an edit or a press does to the object is up to the handlers.
class TPropertyGrid : public toolkit::TWinControl {
  RTL_CLASS(TPropertyGrid, toolkit::TWinControl)
 public:
  explicit TPropertyGrid(rtl::TComponent* owner);
  ~TPropertyGrid() override;

  struct Method {
    std::string name;
    bool callable = false;  // takes no arguments
  };
  // Lists the properties of the object's class with its values, then the methods,
  // in place of whatever the grid showed.
  void Fill(const rtl::TObject& object, const std::vector<Method>& methods);
  // Puts the object's values back in the editors, reporting nothing. A property whose
  // getter raises shows the message in place of its value.
  void Refresh(const rtl::TObject& object);
  void Clear();

  // An editor was left with another value: the property and the value as text.
  std::function<void(const std::string& name, const std::string& text)> OnEdited;
  // A method's button was pressed.
  std::function<void(const std::string& name)> OnCall;

  int RowCount() const;
  // The editor of a property, or the button of a method; null when there is none.
  QWidget* Editor(std::string_view name) const;
  // The text in a row's type column ("Integer", "TAlign", "method").
  std::string TypeText(std::string_view name) const;

 private:
  struct Row {
    std::string name;
    rtl::TPropertyType type;
    QWidget* editor = nullptr;
  };
  QTableWidget* Table() const;
  QWidget* MakeEditor(const rtl::TPublishedProperty& property);
  QWidget* MakeMethodButton(const Method& method);
  void Show(const Row& row, const rtl::TValue& value) const;
  void Edited(const std::string& name, const std::string& text);
  int RowOf(std::string_view name) const;

  std::vector<Row> rows_;
  std::vector<std::string> methods_;
};
