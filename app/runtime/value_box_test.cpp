#include "app/runtime/value_box.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QSignalSpy>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include "app/testing/ui_test.h"

namespace app_runtime {
namespace {

// Counts the key presses that reach it, as a page would see keys its boxes leave alone.
class KeyCountingParent : public QWidget {
 public:
  int presses = 0;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    ++presses;
    QWidget::keyPressEvent(event);
  }
};

class ValueBoxTest : public testing::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    first_ = new ValueBox(QStringLiteral("ThinkStation 30BA"), &parent_);
    second_ = new ValueBox(QStringLiteral("30BAS1RX00"), &parent_);
    auto* layout = new QVBoxLayout(&parent_);
    layout->addWidget(first_);
    layout->addWidget(second_);
    parent_.show();
    first_->setFocus();
  }

  // Sends a key press and its release to the box; whether the press was accepted.
  static bool Key(ValueBox* box, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QCoreApplication::sendEvent(box, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QCoreApplication::sendEvent(box, &release);
    return press.isAccepted();
  }

  KeyCountingParent parent_;
  ValueBox* first_;
  ValueBox* second_;
};

TEST_F(ValueBoxTest, TabSelectsTheWholeTextAndMovesFocusOn) {
  ASSERT_EQ(parent_.focusWidget(), first_);
  EXPECT_FALSE(first_->textCursor().hasSelection());
  Key(first_, Qt::Key_Tab);
  EXPECT_EQ(first_->textCursor().selectedText(), QStringLiteral("ThinkStation 30BA"));
  EXPECT_EQ(parent_.focusWidget(), second_);

  // Backtab goes the other way, selecting the box it leaves.
  Key(second_, Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(second_->textCursor().selectedText(), QStringLiteral("30BAS1RX00"));
  EXPECT_EQ(parent_.focusWidget(), first_);
}

TEST_F(ValueBoxTest, EveryOtherKeyIsHandledByTheBoxAndGoesNowhere) {
  const QString before = first_->Text();
  EXPECT_TRUE(Key(first_, Qt::Key_X, Qt::NoModifier, QStringLiteral("x")));
  EXPECT_TRUE(Key(first_, Qt::Key_Return));
  EXPECT_TRUE(Key(first_, Qt::Key_Escape));
  EXPECT_EQ(parent_.presses, 0) << "a read-only text box alone would pass these on to its parent";
  EXPECT_EQ(first_->Text(), before);
  EXPECT_EQ(parent_.focusWidget(), first_);
}

TEST_F(ValueBoxTest, CtrlCIsSwallowedButTheContextMenusCopyWorks) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText(QStringLiteral("before"));
  Key(first_, Qt::Key_Tab);
  ASSERT_TRUE(first_->textCursor().hasSelection());
  EXPECT_TRUE(Key(first_, Qt::Key_C, Qt::ControlModifier));
  EXPECT_EQ(clipboard->text(), QStringLiteral("before"));

  std::unique_ptr<QMenu> menu(first_->createStandardContextMenu());
  QAction* copy = menu->findChild<QAction*>(QStringLiteral("edit-copy"));
  ASSERT_NE(copy, nullptr);
  ASSERT_TRUE(copy->isEnabled());
  copy->trigger();
  EXPECT_EQ(clipboard->text(), QStringLiteral("ThinkStation 30BA"));
}

TEST_F(ValueBoxTest, EveryKeyIsRaisedBeforeTheRuleIsApplied) {
  QSignalSpy downs(first_, &ValueBox::KeyDown);
  QSignalSpy ups(first_, &ValueBox::KeyUp);
  bool selectedWhenRaised = true;
  QObject::connect(first_, &ValueBox::KeyDown, first_, [&](ValueBox* sender, QKeyEvent* event) {
    EXPECT_EQ(sender, first_);
    if (event->key() == Qt::Key_Tab) selectedWhenRaised = sender->textCursor().hasSelection();
  });
  Key(first_, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
  Key(first_, Qt::Key_Tab);
  ASSERT_EQ(downs.count(), 2);
  ASSERT_EQ(ups.count(), 2);
  EXPECT_EQ(downs[1][0].value<ValueBox*>(), first_);
  EXPECT_FALSE(selectedWhenRaised);
}

TEST_F(ValueBoxTest, TheBoxIsReadOnlyWrapsAndFitsItsHeightToTheText) {
  EXPECT_TRUE(first_->isReadOnly());
  EXPECT_EQ(first_->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  ValueBox box;
  box.resize(120, 40);
  box.show();
  box.SetText(QStringLiteral("Intel(R) Core(TM) i7-1185G7 @ 3.00GHz"));
  const int tall = box.sizeHint().height();
  box.SetText(QStringLiteral("x"));
  const int shortHeight = box.sizeHint().height();
  EXPECT_LT(shortHeight, tall) << "a wrapped long value takes more lines";
  EXPECT_LT(shortHeight, 60) << "one line is not the text box's usual 192 pixels";
  box.SetTextWrapping(false);
  EXPECT_EQ(box.lineWrapMode(), QPlainTextEdit::NoWrap);
  box.SetText(QStringLiteral("Intel(R) Core(TM) i7-1185G7 @ 3.00GHz"));
  EXPECT_EQ(box.sizeHint().height(), shortHeight) << "unwrapped, a long value is one line";
}

}  // namespace
}  // namespace app_runtime
