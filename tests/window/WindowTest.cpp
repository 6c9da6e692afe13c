#include "WindowTest.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace quillsum::test {

namespace {

void SetDefault(const char *name, const char *value) {
  if (const char *set = std::getenv(name); !set || !*set)
    ::setenv(name, value, 1);
}

} // namespace

Headless::Headless() {
  SetDefault("QT_QPA_PLATFORM", "offscreen");
  SetDefault("QT_SCALE_FACTOR", "1");
  SetDefault("XDG_RUNTIME_DIR", dir_.path().c_str());
  const auto config = dir_.path() / "config";
  std::filesystem::create_directory(config);
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
}

void Type(QWidget *widget, const QString &text) {
  for (const QChar c : text) {
    if (c.unicode() < 0x80)
      QTest::keyClicks(widget, QString(c));
    else
      QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
  }
}

bool WithModal(const std::function<void()> &open, const std::function<void(QWidget *)> &gesture) {
  bool ran = false;
  bool rescued = false;
  QObject scope; // stops both timers when this returns
  QTimer::singleShot(0, &scope, [&] {
    QWidget *modal = QApplication::activeModalWidget();
    if (modal && QTest::qWaitForWindowExposed(modal)) {
      ran = true;
      gesture(modal);
    }
  });
  QTimer::singleShot(30'000, &scope, [&] {
    rescued = true;
    while (QWidget *modal = QApplication::activeModalWidget())
      modal->close();
  });
  open();
  return ran && !rescued;
}

QFileDialog *Dialog(QWidget *modal) {
  auto *dialog = qobject_cast<QFileDialog *>(modal);
  return dialog && dialog->objectName() == "cmd" ? dialog : nullptr;
}

void TypeNameAndOpen(QWidget *modal, const QString &name) {
  QFileDialog *dialog = Dialog(modal);
  QVERIFY(dialog);
  auto *edit = dialog->findChild<QLineEdit *>("fileNameEdit");
  QVERIFY(edit);
  Type(edit, name);
  QTest::keyClick(edit, Qt::Key_Return);
}

} // namespace quillsum::test
