#include "app/runtime/value_box.h"

#include <QKeyEvent>
#include <QTextBlock>
#include <QtMath>

namespace app_runtime {

namespace {

bool IsTab(const QKeyEvent& key) {
  return key.key() == Qt::Key_Tab || key.key() == Qt::Key_Backtab;
}

}  // namespace

ValueBox::ValueBox(QWidget* parent) : ValueBox(QString(), parent) {}

ValueBox::ValueBox(const QString& text, QWidget* parent) : QPlainTextEdit(text, parent) {
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse);
  setFocusPolicy(Qt::StrongFocus);
  setTabChangesFocus(true);
  setUndoRedoEnabled(false);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  SetTextWrapping(true);
  connect(document(), &QTextDocument::contentsChanged, this, &ValueBox::updateGeometry);
}

void ValueBox::SetTextWrapping(bool wrap) {
  setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
  updateGeometry();
}

bool ValueBox::event(QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    emit KeyDown(this, key);
    if (IsTab(*key)) {
      selectAll();
      // Focus navigation goes on as for any widget.
      return QPlainTextEdit::event(event);
    }
    key->accept();
    return true;
  }
  if (event->type() == QEvent::KeyRelease) {
    auto* key = static_cast<QKeyEvent*>(event);
    emit KeyUp(this, key);
    if (IsTab(*key)) return QPlainTextEdit::event(event);
    key->accept();
    return true;
  }
  return QPlainTextEdit::event(event);
}

int ValueBox::ContentHeight() const {
  qreal lines = 0;
  for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
    lines += blockBoundingRect(block).height();
  }
  const QMargins margins = contentsMargins() + viewportMargins();
  return qCeil(lines + 2 * document()->documentMargin()) + margins.top() + margins.bottom();
}

QSize ValueBox::sizeHint() const {
  return QSize(QPlainTextEdit::sizeHint().width(), ContentHeight());
}

QSize ValueBox::minimumSizeHint() const {
  return QSize(QPlainTextEdit::minimumSizeHint().width(), ContentHeight());
}

void ValueBox::resizeEvent(QResizeEvent* event) {
  QPlainTextEdit::resizeEvent(event);
  // The wrapped text may take more or fewer lines at the new width.
  updateGeometry();
}

}  // namespace app_runtime
