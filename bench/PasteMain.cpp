// A long text pasted into the window's text box, as its user pastes it: the text on the clipboard,
// Ctrl+V in Text2, then keystrokes at its end. Times are CPU time of the window's thread, from the
// key press to the window drawn with the result; memory is the growth of the process's peak over
// the text's size in characters.
//     paste_window window|bare|digest MIB
// window: the window; bare: a bare QLineEdit of Text2's size with nothing connected, the toolkit
// alone; digest: no paste, the window's digest of the text (Text2_Change's own work) beside
// MD5CLS over as many bytes.

#include "engine/MD5CLS.h"
#include "window/Form1.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTest>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <limits>
#include <random>
#include <string_view>
#include <vector>

namespace {

// Mostly ASCII prose, with characters whose code page byte differs from their code.
QString Text(qsizetype size) {
  static constexpr char16_t kOthers[] = {u'\u20AC', u'\u00E9', u'\u2019', u'\u00FC'};
  std::mt19937 random(1);
  QString text(size, Qt::Uninitialized);
  for (QChar &c : text) {
    const auto pick = random() % 64;
    c = pick < 4 ? QChar(kOthers[pick]) : QChar(char16_t(pick < 12 ? ' ' : 'a' + pick % 26));
  }
  return text;
}

double CpuMs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double PeakMiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

// CPU milliseconds from the gesture to the window drawn.
double Busy(QWidget &window, const std::function<void()> &gesture) {
  const double start = CpuMs();
  gesture();
  window.repaint();
  return CpuMs() - start;
}

// Pastes text into box and types at its end; prints the paste's time, the worst and the median
// keystroke's, and the memory the paste and the keystrokes took. check, if set, is asked whether
// the window shows what it must for the text the box then holds.
bool PasteAndType(QWidget &window, QLineEdit *box, QString text, int keystrokes,
                  const std::function<bool(const QString &)> &check) {
  const double mib = text.size() / double(1 << 20);
  QApplication::clipboard()->setText(text);
  box->setFocus();
  const double before = PeakMiB();
  const double paste = Busy(window, [&] { QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier); });
  std::vector<double> times;
  for (int k = 0; k < keystrokes; ++k) {
    const bool type = k % 2 == 0; // x, then Backspace: the text keeps its length
    times.push_back(
        Busy(window, [&] { QTest::keyClick(box, type ? Qt::Key_X : Qt::Key_Backspace); }));
    if (type)
      text += QLatin1Char('x');
    else
      text.chop(1);
    if (check && !check(text))
      return false;
  }
  std::sort(times.begin(), times.end());
  std::printf("Paste of %g MiB, CPU ms: %.1f\n", mib, paste);
  std::printf("Keystroke after it, worst of %d, CPU ms: %.1f\n", keystrokes, times.back());
  std::printf("Keystroke after it, median of %d, CPU ms: %.1f\n", keystrokes,
              times[times.size() / 2]);
  std::printf("Memory growth / text size: %.1f\n", (PeakMiB() - before) / mib);
  return true;
}

int Window(qsizetype size, int keystrokes) {
  quillsum::Form1 window;
  window.show();
  if (!QTest::qWaitForWindowExposed(&window))
    return 1;
  auto *text3 = window.findChild<QLineEdit *>("Text3");
  const auto check = [&](const QString &text) {
    const QString digest = QString::fromStdString(quillsum::MD5CLS().DigestStrToHexStr(
        {QStringView(text).utf16(), static_cast<std::size_t>(text.size())}));
    if (text3->text() == digest)
      return true;
    std::fprintf(stderr, "paste_window: Text3 shows %s, not %s\n", qPrintable(text3->text()),
                 qPrintable(digest));
    return false;
  };
  return PasteAndType(window, window.findChild<QLineEdit *>("Text2"), Text(size), keystrokes, check)
             ? 0
             : 1;
}

int Bare(qsizetype size, int keystrokes) {
  QWidget window;
  window.setFixedSize(343, 214);
  auto *box = new QLineEdit(&window);
  box->setGeometry(16, 88, 314, 19); // Text2's place in the window
  box->setMaxLength(std::numeric_limits<int>::max());
  window.show();
  if (!QTest::qWaitForWindowExposed(&window))
    return 1;
  return PasteAndType(window, box, Text(size), keystrokes, nullptr) ? 0 : 1;
}

// The least CPU time of a few runs of work, in milliseconds.
double Least(const std::function<void()> &work) {
  double least = 1e300;
  for (int k = 0; k < 9; ++k) {
    const double start = CpuMs();
    work();
    least = std::min(least, CpuMs() - start);
  }
  return least;
}

int Digest(qsizetype size) {
  quillsum::Form1 window;
  const QString text = Text(size);
  const std::vector<std::uint8_t> bytes(text.size(), 'x'); // MD5's time depends on the count alone
  const double before = PeakMiB();
  QString digest;
  const double ours = Least([&] { digest = window.MD5dariSTRING(text); });
  const double growth = PeakMiB() - before;
  const double engine = Least([&] {
    quillsum::MD5CLS md5;
    md5.MD5Init();
    md5.MD5Update(static_cast<std::int32_t>(bytes.size()), bytes);
    md5.MD5Final();
  });
  if (digest.size() != 32)
    return 1;
  const double mib = size / double(1 << 20);
  std::printf("Text digest of %g MiB, CPU ms: %.1f\n", mib, ours);
  std::printf("MD5CLS of as many bytes, CPU ms: %.1f\n", engine);
  std::printf("Text digest / MD5CLS of as many bytes: %.2f\n", ours / engine);
  std::printf("Text digest, memory growth / text size: %.2f\n", growth / mib);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  const std::string_view mode = argc == 3 ? argv[1] : "";
  const long mib = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 0;
  if ((mode != "window" && mode != "bare" && mode != "digest") || mib <= 0) {
    std::fprintf(stderr, "usage: %s window|bare|digest MIB\n", argv[0]);
    return 2;
  }
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  const qsizetype size = mib << 20;
  const int keystrokes = mib > 4 ? 2 : 9; // a keystroke of a long text takes seconds
  if (mode == "window")
    return Window(size, keystrokes);
  if (mode == "bare")
    return Bare(size, keystrokes);
  return Digest(size);
}
