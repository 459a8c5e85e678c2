#include "app/runtime/errors.h"

#include <QStringLiteral>

namespace app_runtime {

hresult_error::hresult_error(std::int32_t code, QString message)
    : code_(code),
      message_(std::move(message)),
      what_(QStringLiteral("0x%1: %2")
                .arg(static_cast<quint32>(code), 8, 16, QLatin1Char('0'))
                .arg(message_)
                .toStdString()) {}

void cancel_current_task() {
  throw task_canceled();
}

}  // namespace app_runtime
