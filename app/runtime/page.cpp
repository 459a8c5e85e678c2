#include "app/runtime/page.h"

#include <QVBoxLayout>

namespace app_runtime {

Page::Page(QWidget* parent) : QWidget(parent), layout_(new QVBoxLayout(this)) {
  layout_->setContentsMargins(0, 0, 0, 0);
  layout_->setSpacing(0);
}

Page::~Page() = default;

void Page::SetContent(QWidget* content) {
  if (content == content_) return;
  if (QWidget* old = content_) {
    layout_->removeWidget(old);
    // Unparenting also hides it; it is not deleted (the caller holds it).
    old->setParent(nullptr);
  }
  content_ = content;
  if (content) {
    layout_->addWidget(content);
    content->show();
  }
}

void Page::OnNavigatedTo(const NavigationEventArgs&) {}

}  // namespace app_runtime
