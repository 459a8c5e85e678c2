// A small message dialog: one text (MessageText) and one button (OkButton) that hides
// the dialog. Part of the app's set of controls; no page opens it yet.
#pragma once

#include <memory>

#include <QDialog>
#include <QString>

namespace Ui {
class ContentDialogMsg;
}

namespace Korvo_Tallisk {

class ContentDialogMsg : public QDialog {
  Q_OBJECT

 public:
  explicit ContentDialogMsg(QWidget* parent = nullptr);
  ~ContentDialogMsg() override;

  // Keeps `message` and shows it in MessageText.
  void SetMessage(const QString& message);
  const QString& Message() const { return m_message; }

 private:
  std::unique_ptr<Ui::ContentDialogMsg> m_ui;
  QString m_message;
};

}  // namespace Korvo_Tallisk
