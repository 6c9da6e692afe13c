#pragma once

// What the window's tests share: a headless Qt session, files of any length and the user's
// gestures on modal dialogs.

#include "support/Reference.h"

#include <QApplication>
#include <QTest>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

class QFileDialog;

namespace quillsum::test {

// Defaults for a session with no display and no home of its own, set before the QApplication
// exists: Qt draws offscreen at one device pixel per pixel, and reads none of the configuration
// of the user who runs the tests.
class Headless {
public:
  Headless();

private:
  TempDir dir_;
};

// Types text as keystrokes; keyClicks takes only ASCII, so other characters go as key events
// that carry their text, the way an input method delivers them.
void Type(QWidget *widget, const QString &text);

// Does open(), which shows a modal widget, and gesture on that widget once it is on screen. A
// watchdog closes every modal widget if the gesture does not end it, so a fault fails the test
// instead of hanging it. True when the gesture ran and the watchdog had nothing to do.
bool WithModal(const std::function<void()> &open, const std::function<void(QWidget *)> &gesture);

// The window's own file dialog, found by its name.
QFileDialog *Dialog(QWidget *modal);

// Types name into the file dialog's name box and presses Return.
void TypeNameAndOpen(QWidget *modal, const QString &name);

} // namespace quillsum::test

#define QUILLSUM_HEADLESS_TEST_MAIN(TestClass)                                                     \
  int main(int argc, char *argv[]) {                                                               \
    const quillsum::test::Headless headless;                                                       \
    QApplication app(argc, argv);                                                                  \
    TestClass test;                                                                                \
    return QTest::qExec(&test, argc, argv);                                                        \
  }
