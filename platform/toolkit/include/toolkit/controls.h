#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtl/classes.h"
#include "rtl/object.h"
#include "toolkit/export.h"

class QObject;
class QWidget;

namespace toolkit {

class TWinControl;

// Where a control sits in its parent when the parent lays out its children: alTop,
// alBottom, alLeft and alRight take a strip along that edge of what is still free
// (keeping the control's own height or width), alClient takes whatever is left.
// Strips are given out in child order; alNone controls keep their own bounds.
RTL_ENUM(TAlign, alNone, alTop, alBottom, alLeft, alRight, alClient)

RTL_ENUM(TFontStyle, fsBold, fsItalic, fsUnderline, fsStrikeOut)
using TFontStyles = rtl::TSet<TFontStyle>;

// DEFAULT_CHARSET, the character set of a font nobody chose one for.
inline constexpr int kDefaultCharset = 1;

// An ordered list of texts kept by a control (a memo's lines, a list box's items).
// The control's widget holds the texts, so whatever the user typed is what reads
// back. A bad index raises rtl::Exception.
class TOOLKIT_API TStrings {
 public:
  TStrings() = default;
  TStrings(const TStrings&) = delete;
  TStrings& operator=(const TStrings&) = delete;
  virtual ~TStrings();

  // Appends one item and returns its index.
  virtual int Add(const std::string& text) = 0;
  virtual void Clear() = 0;
  virtual int Count() const = 0;
  virtual std::string Strings(int index) const = 0;
  virtual void Delete(int index) = 0;

  // Every item followed by "\n".
  std::string Text() const;
  // Replaces the items with the lines of text ("\n" or "\r\n" separated; a final
  // line break does not start another item).
  void SetText(const std::string& text);
  void Assign(const std::vector<std::string>& items);
  std::vector<std::string> ToVector() const;

 protected:
  // Raises "List index out of bounds (n)" unless 0 <= index < Count().
  void CheckIndex(int index) const;
};

// A visual component: it wraps exactly one Qt widget, which it owns.
//
// Owner and parent are two different things. The owner (a TComponent) frees the
// control; the parent (a TWinControl) is the control it is drawn in. Freeing a
// parent frees its child controls too, and they leave their owners' lists; freeing
// a control takes it out of its parent. Whichever goes first, every control is freed
// once, and the widget tree never deletes a widget that a control still holds.
class TOOLKIT_API TControl : public rtl::TComponent {
  RTL_CLASS(TControl, rtl::TComponent)
 public:
  explicit TControl(rtl::TComponent* owner);
  ~TControl() override;

  TWinControl* Parent() const noexcept { return parent_; }
  // Moves the control into another parent (null: into none, it is then not shown).
  // Raises when the parent is this control or one of its own children.
  virtual void SetParent(TWinControl* parent);

  int Left() const;
  int Top() const;
  int Width() const;
  int Height() const;
  void SetLeft(int value);
  void SetTop(int value);
  void SetWidth(int value);
  void SetHeight(int value);
  // Negative sizes count as 0.
  virtual void SetBounds(int left, int top, int width, int height);

  TAlign Align() const noexcept { return align_; }
  void SetAlign(TAlign value);

  // The control's text: a button's or a label's caption, an edit's text. Caption and
  // Text are two names for the same thing.
  virtual std::string Caption() const;
  virtual void SetCaption(const std::string& value);
  std::string Text() const { return Caption(); }
  void SetText(const std::string& value) { SetCaption(value); }

  bool Enabled() const;
  void SetEnabled(bool value);

  // Whether the control wants to be shown; it is on screen only when its parents are.
  bool Visible() const noexcept { return visible_; }
  virtual void SetVisible(bool value);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }

  // Keyboard focus order among the controls of one parent, lowest first.
  int TabOrder() const noexcept { return tabOrder_; }
  void SetTabOrder(int value);
  // Whether the control takes keyboard focus at all.
  bool TabStop() const;
  void SetTabStop(bool value);

  std::string Hint() const;
  void SetHint(const std::string& value);

  // Colours as last set. A control nobody gave a colour is drawn with the system's
  // palette and reads as the usual face (or text) colour.
  static constexpr std::uint32_t kFaceColour = 0xF0F0F0;
  static constexpr std::uint32_t kTextColour = 0x000000;
  rtl::TColor Color() const noexcept { return color_; }
  void SetColor(rtl::TColor value);
  rtl::TColor FontColor() const noexcept { return fontColor_; }
  void SetFontColor(rtl::TColor value);
  // Kept for those who read them: a Qt widget takes its parent's font and palette
  // unless it was given its own.
  bool ParentColor() const noexcept { return parentColor_; }
  void SetParentColor(bool value) { parentColor_ = value; }
  bool ParentFont() const noexcept { return parentFont_; }
  void SetParentFont(bool value) { parentFont_ = value; }

  // The face as named; empty: the default face, left alone.
  const std::string& FontName() const noexcept { return fontName_; }
  void SetFontName(const std::string& value);
  // Negative: the height of the characters in pixels; 0: the default size.
  int FontHeight() const noexcept { return fontHeight_; }
  void SetFontHeight(int value);
  // Every text here is UTF-8: the character set is kept for whoever reads it back and
  // changes nothing on screen.
  int FontCharset() const noexcept { return fontCharset_; }
  void SetFontCharset(int value) { fontCharset_ = value; }
  TFontStyles FontStyle() const;
  void SetFontStyle(TFontStyles value);

  QWidget* Widget() const noexcept { return widget_; }

 protected:
  // Takes ownership of the widget; each control class creates its own.
  TControl(rtl::TComponent* owner, QWidget* widget);
  // Puts the widget's own visibility in step with Visible and the parent.
  virtual void UpdateShowing();

 private:
  friend class TWinControl;

  QWidget* widget_ = nullptr;
  TWinControl* parent_ = nullptr;
  TAlign align_ = alNone;
  bool visible_ = true;
  int tabOrder_ = -1;
  rtl::TColor color_{kFaceColour};
  rtl::TColor fontColor_{kTextColour};
  bool parentColor_ = true;
  bool parentFont_ = true;
  std::string fontName_;
  int fontHeight_ = 0;
  int fontCharset_ = kDefaultCharset;
};

// A control that holds other controls and lays them out by their Align.
class TOOLKIT_API TWinControl : public TControl {
  RTL_CLASS(TWinControl, TControl)
 public:
  explicit TWinControl(rtl::TComponent* owner);
  // Frees the child controls first, then the control itself.
  ~TWinControl() override;

  int ControlCount() const noexcept { return static_cast<int>(controls_.size()); }
  TControl* Controls(int index) const;  // raises on an index out of range

  // The area children are laid out in.
  int ClientWidth() const;
  int ClientHeight() const;
  void SetClientWidth(int value);
  void SetClientHeight(int value);

  // Lays the aligned children out again. Runs by itself whenever the control is
  // resized or a child's Align, bounds or visibility change.
  void Realign();

 protected:
  TWinControl(rtl::TComponent* owner, QWidget* widget);
  // The widget children are put in (the control's own widget by default).
  virtual QWidget* ClientWidget() const;
  // Called after a child joined or before it leaves the list of controls.
  virtual void ControlInserted(TControl* control);
  virtual void ControlRemoving(TControl* control);
  void UpdateShowing() override;

 private:
  friend class TControl;
  void InsertControl(TControl* control);
  void RemoveControl(TControl* control);
  void UpdateTabOrder();

  std::vector<TControl*> controls_;
  // The same controls in keyboard focus order.
  std::vector<TControl*> tabList_;
  QObject* resizeWatcher_ = nullptr;
  bool aligning_ = false;
};

}  // namespace toolkit
