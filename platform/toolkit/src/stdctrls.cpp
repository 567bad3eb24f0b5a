#include "toolkit/stdctrls.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

#include "rtl/sysutils.h"
#include "toolkit_internal.h"

namespace toolkit {

RTL_DEFINE_CLASS(TButton, RTL_PROPERTY(TButton, Caption, Caption, SetCaption),
                 RTL_PROPERTY(TButton, TabStop, TabStop, SetTabStop, true))
RTL_DEFINE_CLASS(TEdit, RTL_PROPERTY(TEdit, Text, Text, SetText),
                 RTL_PROPERTY(TEdit, TabStop, TabStop, SetTabStop, true))
RTL_DEFINE_CLASS(TLabel, RTL_PROPERTY(TLabel, Caption, Caption, SetCaption))
RTL_DEFINE_CLASS(TMemo, RTL_PROPERTY(TMemo, Text, Text, SetText),
                 RTL_PROPERTY(TMemo, Lines, GetLines, SetLines),
                 RTL_PROPERTY(TMemo, ScrollBars, ScrollBars, SetScrollBars, ssNone),
                 RTL_PROPERTY(TMemo, ReadOnly, ReadOnly, SetReadOnly, false),
                 RTL_PROPERTY(TMemo, TabStop, TabStop, SetTabStop, true))
RTL_DEFINE_CLASS(TListBox, RTL_PROPERTY(TListBox, Items, GetItems, SetItems),
                 RTL_PROPERTY(TListBox, ItemHeight, ItemHeight, SetItemHeight, 13),
                 RTL_PROPERTY(TListBox, ItemIndex, ItemIndex, SetItemIndex, -1),
                 RTL_PROPERTY(TListBox, TabStop, TabStop, SetTabStop, true))

namespace detail {

void CallNotify(const rtl::TMethod& handler, rtl::TObject* sender) {
  if (handler.Code == nullptr) return;
  rtl::InvokeMethod<rtl::TObject*>(handler, sender);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// TButton, TEdit, TLabel

TButton::TButton(rtl::TComponent* owner) : TControl(owner, detail::NewWidget<QPushButton>()) {
  auto* button = static_cast<QPushButton*>(Widget());
  button->setAutoDefault(false);
  QObject::connect(button, &QPushButton::clicked, button,
                   [this] { detail::Guarded([this] { Click(); }); });
}

void TButton::Click() {
  detail::CallNotify(OnClick, this);
}

TEdit::TEdit(rtl::TComponent* owner) : TControl(owner, detail::NewWidget<QLineEdit>()) {}

TLabel::TLabel(rtl::TComponent* owner) : TControl(owner, detail::NewWidget<QLabel>()) {
  static_cast<QLabel*>(Widget())->setTextFormat(Qt::PlainText);
}

void TLabel::SetBounds(int left, int top, int width, int height) {
  if (Align() == alNone) width = std::max(width, Widget()->sizeHint().width());
  TControl::SetBounds(left, top, width, height);
}

void TLabel::SetCaption(const std::string& value) {
  TControl::SetCaption(value);
  if (Align() == alNone && Widget()->sizeHint().width() > Width()) {
    SetBounds(Left(), Top(), Width(), Height());
  }
}

// ---------------------------------------------------------------------------
// TMemo

namespace {

QPlainTextEdit* EditOf(const TMemo& memo) {
  return static_cast<QPlainTextEdit*>(memo.Widget());
}

}  // namespace

TMemo::TMemo(rtl::TComponent* owner)
    : TControl(owner, detail::NewWidget<QPlainTextEdit>()), lines_(*this) {
  SetScrollBars(ssNone);
}

TMemo::~TMemo() = default;

void TMemo::SetScrollBars(TScrollStyle value) {
  if (value < ssNone || value > ssBoth) {
    throw rtl::Exception("ScrollBars of %s: %d is not a scroll style",
                         {ClassName(), static_cast<int>(value)});
  }
  scrollBars_ = value;
  QPlainTextEdit* edit = EditOf(*this);
  const bool horizontal = value == ssHorizontal || value == ssBoth;
  const bool vertical = value == ssVertical || value == ssBoth;
  edit->setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  edit->setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  edit->setLineWrapMode(horizontal ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
}

bool TMemo::ReadOnly() const {
  return EditOf(*this)->isReadOnly();
}
void TMemo::SetReadOnly(bool value) {
  EditOf(*this)->setReadOnly(value);
}

int TMemoLines::Count() const {
  const QTextDocument* document = EditOf(memo_)->document();
  const int blocks = document->blockCount();
  // The document always has one block; an empty last block is the line break that
  // ends the line before it, not a line of its own.
  if (document->lastBlock().length() <= 1) return blocks - 1;
  return blocks;
}

std::string TMemoLines::Strings(int index) const {
  CheckIndex(index);
  return detail::FromQt(EditOf(memo_)->document()->findBlockByNumber(index).text());
}

int TMemoLines::Add(const std::string& text) {
  const int index = Count();
  QPlainTextEdit* edit = EditOf(memo_);
  QTextCursor cursor(edit->document());
  cursor.movePosition(QTextCursor::End);
  // Every added line ends with its break, so an empty line stays a line.
  const bool endsWithBreak = edit->document()->lastBlock().length() <= 1;
  QString line = detail::ToQt(text) + QLatin1Char('\n');
  if (!endsWithBreak) line.prepend(QLatin1Char('\n'));
  cursor.insertText(line);
  return index;
}

void TMemoLines::Clear() {
  EditOf(memo_)->clear();
}

void TMemoLines::Delete(int index) {
  CheckIndex(index);
  QTextDocument* document = EditOf(memo_)->document();
  const QTextBlock block = document->findBlockByNumber(index);
  QTextCursor cursor(block);
  if (block.next().isValid()) {
    cursor.setPosition(block.next().position(), QTextCursor::KeepAnchor);
  } else {
    // The last line: take the break before it instead.
    if (block.previous().isValid()) cursor.setPosition(block.position() - 1);
    cursor.setPosition(block.position() + block.length() - 1, QTextCursor::KeepAnchor);
  }
  cursor.removeSelectedText();
}

// ---------------------------------------------------------------------------
// TListBox

namespace {

constexpr int ValueRole = Qt::UserRole;

QListWidget* ListOf(const TListBox& listBox) {
  return static_cast<QListWidget*>(listBox.Widget());
}

// Every row as tall as ItemHeight says.
class FixedHeightDelegate final : public QStyledItemDelegate {
 public:
  FixedHeightDelegate(const int& height, QObject* parent)
      : QStyledItemDelegate(parent), height_(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(height_);
    return size;
  }

 private:
  const int& height_;
};

// Notes which row was selected when a mouse button went down on the list.
class PressWatcher final : public QObject {
 public:
  PressWatcher(QListWidget& list, int& rowAtPress) : list_(list), rowAtPress_(rowAtPress) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
      const auto rows = list_.selectionModel()->selectedRows();
      rowAtPress_ = rows.isEmpty() ? -1 : rows.front().row();
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QListWidget& list_;
  int& rowAtPress_;
};

}  // namespace

TListBox::TListBox(rtl::TComponent* owner)
    : TControl(owner, detail::NewWidget<QListWidget>()), items_(*this) {
  QListWidget* list = ListOf(*this);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setUniformItemSizes(true);
  list->setItemDelegate(new FixedHeightDelegate(itemHeight_, list));
  pressWatcher_ = new PressWatcher(*list, rowAtPress_);
  list->viewport()->installEventFilter(pressWatcher_);
  // The selection, not the current row: a list that gets the keyboard focus moves
  // its current row to the first item without selecting anything.
  QObject::connect(list, &QListWidget::itemSelectionChanged, list, [this] {
    if (quiet_ > 0 || ItemIndex() < 0) return;
    detail::Guarded([this] { detail::CallNotify(OnClick, this); });
  });
  QObject::connect(list, &QListWidget::itemClicked, list, [this](QListWidgetItem* item) {
    // A click that changed the selection was announced as a selection change.
    if (quiet_ > 0 || ListOf(*this)->row(item) != rowAtPress_) return;
    detail::Guarded([this] { detail::CallNotify(OnClick, this); });
  });
}

TListBox::~TListBox() {
  ListOf(*this)->viewport()->removeEventFilter(pressWatcher_);
  delete pressWatcher_;
}

int TListBox::ItemIndex() const {
  const auto rows = ListOf(*this)->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.front().row();
}

void TListBox::SetItemIndex(int value) {
  if (value < -1 || value >= items_.Count()) {
    throw rtl::Exception("ItemIndex of %s: no item %d (the list has %d)",
                         {ClassName(), value, items_.Count()});
  }
  QListWidget* list = ListOf(*this);
  ++quiet_;
  if (value == -1) {
    list->clearSelection();
    list->setCurrentRow(-1);
  } else {
    list->setCurrentRow(value);
  }
  --quiet_;
}

void TListBox::SetItemHeight(int value) {
  if (value <= 0) {
    throw rtl::Exception("ItemHeight of %s must be positive, not %d", {ClassName(), value});
  }
  itemHeight_ = value;
  ListOf(*this)->doItemsLayout();
}

int TListBoxItems::Add(const std::string& text) {
  return AddObject(text, 0);
}

int TListBoxItems::AddObject(const std::string& text, std::uintptr_t value) {
  QListWidget* list = ListOf(listBox_);
  auto* item = new QListWidgetItem(detail::ToQt(text));
  // A long item is cut with an ellipsis to fit the list: the whole text is one hover away.
  item->setToolTip(item->text());
  item->setData(ValueRole, QVariant::fromValue<qulonglong>(value));
  ++listBox_.quiet_;
  list->addItem(item);
  --listBox_.quiet_;
  return list->count() - 1;
}

void TListBoxItems::Clear() {
  ++listBox_.quiet_;
  ListOf(listBox_)->clear();
  --listBox_.quiet_;
}

int TListBoxItems::Count() const {
  return ListOf(listBox_)->count();
}

std::string TListBoxItems::Strings(int index) const {
  CheckIndex(index);
  return detail::FromQt(ListOf(listBox_)->item(index)->text());
}

void TListBoxItems::Delete(int index) {
  CheckIndex(index);
  ++listBox_.quiet_;
  delete ListOf(listBox_)->takeItem(index);
  --listBox_.quiet_;
}

std::uintptr_t TListBoxItems::Objects(int index) const {
  CheckIndex(index);
  return static_cast<std::uintptr_t>(
      ListOf(listBox_)->item(index)->data(ValueRole).value<qulonglong>());
}

void TListBoxItems::SetObjects(int index, std::uintptr_t value) {
  CheckIndex(index);
  ListOf(listBox_)->item(index)->setData(ValueRole, QVariant::fromValue<qulonglong>(value));
}

}  // namespace toolkit
