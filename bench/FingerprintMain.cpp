// Prints the window's sampled fingerprint of a file, so that its reads can be counted.

#include "window/Form1.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  const QString hex = quillsum::Form1().MD5dariFile(QString::fromLocal8Bit(argv[1]));
  if (hex.isEmpty())
    return 1;
  std::puts(qPrintable(hex));
  return 0;
}
