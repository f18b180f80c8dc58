#include "components/dialogs/error_display.h"

#include <QApplication>
#include <QMessageBox>

#include "toolkit/component.h"

namespace veldor {

void ShowErrorMessage(const std::exception& error) {
  const QString title = QApplication::applicationName().isEmpty() ? QStringLiteral("Error")
                                                                  : QApplication::applicationName();
  QMessageBox::critical(nullptr, title, QString::fromUtf8(error.what()), QMessageBox::Ok);
}

void InstallErrorDisplay() { SetApplicationExceptionHandler(&ShowErrorMessage); }

}  // namespace veldor
