#include "app/pages/content_dialog_msg.h"

#include "app/runtime/resources.h"
#include "ui_content_dialog_msg.h"

namespace Korvo_Tallisk {

ContentDialogMsg::ContentDialogMsg(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::ContentDialogMsg>()) {
  m_ui->setupUi(this);
  m_ui->OkButton->setText(
      app_runtime::ResourceLoader::GetForCurrentView().GetString(QStringLiteral("OkButton/Content")));
  connect(m_ui->OkButton, &QPushButton::clicked, this, &ContentDialogMsg::hide);
}

ContentDialogMsg::~ContentDialogMsg() = default;

void ContentDialogMsg::SetMessage(const QString& message) {
  m_message = message;
  m_ui->MessageText->setText(m_message);
}

}  // namespace Korvo_Tallisk
