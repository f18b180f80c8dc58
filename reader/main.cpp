// The entry point of Brevarion: the application object, its title, the main window and
// the message loop. `--settings FILE` names the settings file; without it the reader looks
// for "quorvish.ini" as the main window describes.
#include <QApplication>

#include <cstring>
#include <iostream>
#include <string>

#include "components/dialogs/error_display.h"
#include "components/dialogs/password_dialog.h"
#include "reader/unit_main.h"

namespace {

int Usage(const char* program, int status) {
  (status == 0 ? std::cout : std::cerr) << "usage: " << program << " [--settings FILE]\n";
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Brevarion"));
  std::string settings;
  const QStringList arguments = QApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == QLatin1String("--settings") && i + 1 < arguments.size()) {
      settings = arguments[++i].toStdString();
    } else if (argument.startsWith(QLatin1String("--settings="))) {
      settings = argument.mid(11).toStdString();
    } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
      return Usage(argv[0], 0);
    } else {
      std::cerr << argv[0] << ": unknown argument '" << argument.toStdString() << "'\n";
      return Usage(argv[0], 2);
    }
  }
  veldor::InstallErrorDisplay();
  veldor::InstallPasswordDialog();
  veldor::TFormMain formMain(settings);
  formMain.show();
  return QApplication::exec();
}
