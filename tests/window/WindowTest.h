#pragma once

// What the window's tests share: a headless Qt session and files of any length.

#include "support/Reference.h"

#include <QApplication>
#include <QTest>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace quillsum::test {

// Defaults for a session with no display and no home of its own, set before the QApplication
// exists: Qt draws offscreen at one device pixel per pixel, and its file dialog keeps its history
// in a temporary folder.
class Headless {
public:
  Headless();

private:
  TempDir dir_;
};

// Writes a file whose first bytes are head and whose length is length; the rest is a hole, so a
// file of several GiB costs no disk.
void MakeFile(const std::filesystem::path &file, std::string_view head, std::int64_t length);

} // namespace quillsum::test

#define QUILLSUM_HEADLESS_TEST_MAIN(TestClass)                                                     \
  int main(int argc, char *argv[]) {                                                               \
    const quillsum::test::Headless headless;                                                       \
    QApplication app(argc, argv);                                                                  \
    TestClass test;                                                                                \
    return QTest::qExec(&test, argc, argv);                                                        \
  }
