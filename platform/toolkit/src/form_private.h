#pragma once

#include <functional>
#include <map>
#include <string>

#include "form_error.h"
#include "toolkit/forms.h"

namespace toolkit {

// Where a control came from in a form description, for messages about it.
struct SourcePlace {
  std::string fileName;
  form::Position position;
};

// What a form keeps besides its controls. The form builder fills in where each
// control was described.
struct TForm::Private {
  // Where each named control was described, for messages about its field.
  std::map<std::string, SourcePlace, std::less<>> places;
  std::string resourceFile;
  int pixelsPerInch = 96;
  int textHeight = 13;
};

}  // namespace toolkit
