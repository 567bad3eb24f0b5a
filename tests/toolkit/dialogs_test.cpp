#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "toolkit_test.h"

using namespace toolkit;

namespace {

// Qt's own boxes, answered through their widgets as a user would.
class RealDialogsTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    // What was set before is given back, to be set again; Qt's own, as none.
    ASSERT_EQ(SetDialogService(nullptr), &dialogs_);
    ASSERT_EQ(SetDialogService(nullptr), nullptr);
    poll_.setInterval(5);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || modal == seen_) return;
      seen_ = modal;
      answer_(modal);
    });
    poll_.start();
  }

  // Called from inside each modal box's own loop, once per box as it opens.
  std::function<void(QWidget*)> answer_;

 private:
  QTimer poll_;
  QPointer<QWidget> seen_;
};

// A key that answers one box must not reach the boxes after it: each later box stays
// open until it is answered itself.
TEST_F(RealDialogsTest, AKeyAnsweringOneBoxLeavesTheNextOnesOpen) {
  std::vector<std::string> shown;
  int stayedOpen = 0;
  answer_ = [&](QWidget* widget) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    ASSERT_NE(box, nullptr) << "only message boxes should open";
    shown.push_back(box->text().toStdString());
    QFont bold = QApplication::font();
    bold.setBold(true);
    const QFontMetrics title(bold);
    EXPECT_GE(box->width(), title.horizontalAdvance(box->windowTitle()) + 4 * title.height())
        << "the box should leave room for its whole title and the title bar's buttons";
    if (shown.size() > 1) {
      QTest::qWait(50);
      if (box->isVisible()) ++stayedOpen;
    }
    QTest::keyClick(box, Qt::Key_Return);
  };
  ShowMessage("Класс не найден");
  ShowMessage("Класс не найден");
  Application->ShowException(rtl::Exception("тратата"));
  EXPECT_EQ(shown, (std::vector<std::string>{"Класс не найден", "Класс не найден", "тратата"}));
  EXPECT_EQ(stayedOpen, 2) << "every box after the first should wait for its own answer";
}

TEST_F(RealDialogsTest, TheOpenDialogSpeaksTheUsersLanguageInTheFormsFontWithColumnsWhole) {
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  Application->Initialize();
  TForm form(nullptr);
  QFont formsFont(QStringLiteral("Liberation Sans"));
  formsFont.setPixelSize(11);
  form.Widget()->setFont(formsFont);
  TOpenDialog dialog(&form);
  dialog.SetInitialDir(std::filesystem::path(testsupport::PackageFile("twounits")).parent_path());
  answer_ = [&](QWidget* widget) {
    auto* box = qobject_cast<QFileDialog*>(widget);
    ASSERT_NE(box, nullptr) << "the open dialog should be Qt's own";
    auto* view = box->findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([view] { return view->model()->rowCount(view->rootIndex()) > 3; }))
        << "the test packages' folder should load";
    QTest::qWait(20);
    EXPECT_EQ(box->windowTitle().toStdString(), "Открыть") << "Qt's own texts in Russian";
    auto* buttons = box->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text().toStdString(), "Отмена");
    EXPECT_EQ(box->font().toString().toStdString(), formsFont.toString().toStdString())
        << "the dialog should use the forms' font";
    EXPECT_LE(view->header()->length(), view->viewport()->width())
        << "every column should be shown whole, side by side";
    auto* name = box->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    QTest::keyClicks(name, "libtwounits.so");
    QTest::keyClick(name, Qt::Key_Return);
  };
  EXPECT_TRUE(dialog.Execute());
  EXPECT_EQ(dialog.FileName(), testsupport::PackageFile("twounits")) << "the file picked";
  answer_ = [](QWidget* box) {
    QTest::keyClicks(box->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")), "libstdreg.so");
    QTest::keyClick(box, Qt::Key_Escape);
  };
  EXPECT_FALSE(dialog.Execute()) << "a name typed, then the dialog cancelled";
  EXPECT_EQ(dialog.FileName(), testsupport::PackageFile("twounits"));
  QLocale::setDefault(QLocale::system());
  Application->Initialize();
}

}  // namespace
