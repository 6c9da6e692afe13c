// Writes the picture of the window that the README shows, with "abc" typed into it:
//   build/tests/window/window_screenshot docs/window.png

#include "WindowTest.h"
#include "window/Form1.h"

#include <QLineEdit>

#include <cstdio>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.png\n", argv[0]);
    return 2;
  }
  const quillsum::test::Headless headless;
  QApplication app(argc, argv);
  quillsum::Form1 form;
  form.show();
  if (!QTest::qWaitForWindowExposed(&form))
    return 1;
  QTest::keyClicks(form.findChild<QLineEdit *>("Text2"), "abc");
  return form.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
