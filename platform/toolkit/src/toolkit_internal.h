#pragma once

#include <QMargins>
#include <QString>
#include <string>
#include <string_view>
#include <utility>

#include "rtl/object.h"

class QWidget;

namespace toolkit::detail {

inline QString ToQt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string FromQt(const QString& text) {
  return text.toStdString();
}

// Creates Qt's application object if there is none yet: no widget can exist
// without one, and Qt ends the process rather than report it.
void EnsureQtApplication();

template <class W, class... A>
W* NewWidget(A&&... args) {
  EnsureQtApplication();
  return new W(std::forward<A>(args)...);
}

// The frame the window system draws around a form's window, as the form's outer size
// was worked out with; none for any other widget.
QMargins WindowFrame(const QWidget& window);

// Inside a catch block: hands whatever is being handled to the application's
// exception display (Application->HandleException), when there is an application.
void HandleException() noexcept;

// Runs an event handler. No exception may cross Qt's event loop (Qt cannot unwind
// through its own frames), so whatever the handler raises goes to the exception
// display and the loop goes on.
template <class F>
void Guarded(F&& handler) noexcept {
  try {
    handler();
  } catch (...) {
    HandleException();
  }
}

// Calls a click-style handler (sender only) if one is set.
void CallNotify(const rtl::TMethod& handler, rtl::TObject* sender);

}  // namespace toolkit::detail
