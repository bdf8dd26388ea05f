// kelvaro: the freight-forwarding dispatcher's application. The table files
// live in the current working directory.
#include <QApplication>

#include "app/main/startup.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  return kel::RunProgram(app, kel::ParseOptions(QApplication::arguments()));
}
