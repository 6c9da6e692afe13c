#include "window/Form1.h"

#include <QApplication>

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  // The desktop matches the window to its menu entry, and so to its name and icon, by this.
  QGuiApplication::setDesktopFileName(QStringLiteral("example.quillsum.Quillsum"));
  quillsum::Form1 window;
  window.show();
  return app.exec();
}
