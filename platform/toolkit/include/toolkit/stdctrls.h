#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "toolkit/controls.h"

namespace toolkit {

// A push button. OnClick runs when the user presses it, with the button as sender.
class TOOLKIT_API TButton : public TControl {
  RTL_CLASS(TButton, TControl)
 public:
  explicit TButton(rtl::TComponent* owner);

  // Runs OnClick as a press would, but an exception from the handler reaches the
  // caller instead of the exception display.
  void Click();

  // A published method taking (rtl::TObject* sender).
  rtl::TMethod OnClick;
};

// A one-line text box; Text (or Caption) is its contents.
class TOOLKIT_API TEdit : public TControl {
  RTL_CLASS(TEdit, TControl)
 public:
  explicit TEdit(rtl::TComponent* owner);
};

// A line of text that the user cannot edit.
// A line of text. Its width grows to fit the text when the text is wider than the
// bounds it was given: the fonts here are not the ones the descriptions were
// measured with, and a cut-off heading helps nobody.
class TOOLKIT_API TLabel : public TControl {
  RTL_CLASS(TLabel, TControl)
 public:
  explicit TLabel(rtl::TComponent* owner);

  void SetBounds(int left, int top, int width, int height) override;
  void SetCaption(const std::string& value) override;
};

RTL_ENUM(TScrollStyle, ssNone, ssHorizontal, ssVertical, ssBoth)

class TMemo;

// A memo's lines: an empty memo has no lines, and a line break at the very end
// does not start another one.
class TOOLKIT_API TMemoLines final : public TStrings {
 public:
  explicit TMemoLines(TMemo& memo) : memo_(memo) {}
  int Add(const std::string& text) override;
  void Clear() override;
  int Count() const override;
  std::string Strings(int index) const override;
  void Delete(int index) override;

 private:
  TMemo& memo_;
};

// A multi-line text box. Text is the whole contents; Lines gives it line by line.
class TOOLKIT_API TMemo : public TControl {
  RTL_CLASS(TMemo, TControl)
 public:
  explicit TMemo(rtl::TComponent* owner);
  ~TMemo() override;

  TMemoLines& Lines() noexcept { return lines_; }
  const TMemoLines& Lines() const noexcept { return lines_; }
  rtl::TTextList GetLines() const { return lines_.ToVector(); }
  void SetLines(const rtl::TTextList& value) { lines_.Assign(value); }

  // ssNone: no scroll bars, long lines wrap. ssVertical: a vertical bar, lines wrap.
  // ssHorizontal and ssBoth: lines do not wrap.
  TScrollStyle ScrollBars() const noexcept { return scrollBars_; }
  void SetScrollBars(TScrollStyle value);

  bool ReadOnly() const;
  void SetReadOnly(bool value);

 private:
  TMemoLines lines_;
  TScrollStyle scrollBars_ = ssNone;
};

class TListBox;

// A list box's items, each with one pointer-sized value attached (0 when none was
// given). Values follow their items when items are deleted.
class TOOLKIT_API TListBoxItems final : public TStrings {
 public:
  explicit TListBoxItems(TListBox& listBox) : listBox_(listBox) {}
  int Add(const std::string& text) override;
  int AddObject(const std::string& text, std::uintptr_t value);
  void Clear() override;
  int Count() const override;
  std::string Strings(int index) const override;
  void Delete(int index) override;

  // Raise "List index out of bounds (n)" for a bad index, -1 included.
  std::uintptr_t Objects(int index) const;
  void SetObjects(int index, std::uintptr_t value);

 private:
  TListBox& listBox_;
};

// A list of texts with single selection. ItemIndex is the selected item, -1 for
// none. OnClick runs when the user selects an item (by mouse or keyboard), also
// when clicking the item that is already selected; setting ItemIndex from code
// does not run it.
class TOOLKIT_API TListBox : public TControl {
  RTL_CLASS(TListBox, TControl)
 public:
  explicit TListBox(rtl::TComponent* owner);
  ~TListBox() override;

  TListBoxItems& Items() noexcept { return items_; }
  const TListBoxItems& Items() const noexcept { return items_; }
  rtl::TTextList GetItems() const { return items_.ToVector(); }
  void SetItems(const rtl::TTextList& value) { items_.Assign(value); }

  int ItemIndex() const;
  // -1 clears the selection; any other index outside the items raises.
  void SetItemIndex(int value);

  int ItemHeight() const noexcept { return itemHeight_; }
  void SetItemHeight(int value);  // raises unless positive

  // A published method taking (rtl::TObject* sender).
  rtl::TMethod OnClick;

 private:
  friend class TListBoxItems;
  TListBoxItems items_;
  int itemHeight_ = 13;
  // Selection changes made by code are not the user's: OnClick stays quiet.
  int quiet_ = 0;
  // The selected row when the mouse went down: a click that did not change it still
  // counts as a selection.
  int rowAtPress_ = -1;
  QObject* pressWatcher_ = nullptr;
};

}  // namespace toolkit
