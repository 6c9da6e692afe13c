// The window as its user meets it: its layout, typing and pasting into Text2, the real file
// dialog, drops from a file manager, and a handler's run-time error.

#include "window/Form1.h"
#include "WindowTest.h"

#include "engine/RuntimeError.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <memory>
#include <utility>

namespace quillsum {
namespace {

using test::Dialog;
using test::MakeFile;
using test::RandomBytes;
using test::ReferenceMd5;
using test::Type;
using test::TypeNameAndOpen;
using test::WithModal;

QString Md5Of(const QByteArray &bytes) {
  return QString::fromStdString(ReferenceMd5(std::string_view(bytes.constData(), bytes.size())));
}

QString Model(const QByteArray &head, qint64 length) {
  return QString::fromStdString(
      test::ReferenceFingerprint(std::string_view(head.constData(), head.size()), length));
}

QLineEdit *Box(const QWidget &form, const char *name) { return form.findChild<QLineEdit *>(name); }

void Cancel(QWidget *modal) {
  QFileDialog *dialog = Dialog(modal);
  QVERIFY(dialog);
  QPushButton *cancel =
      dialog->findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Cancel);
  QTest::mouseClick(cancel, Qt::LeftButton);
}

// Presses "..." and chooses name in the dialog.
bool Choose(const QWidget &form, const QString &name) {
  return WithModal(
      [&] { QTest::mouseClick(form.findChild<QPushButton *>("Command1"), Qt::LeftButton); },
      [&](QWidget *modal) { TypeNameAndOpen(modal, name); });
}

bool PressAndCancel(const QWidget &form) {
  return WithModal(
      [&] { QTest::mouseClick(form.findChild<QPushButton *>("Command1"), Qt::LeftButton); },
      Cancel);
}

// Offers and drops urls on the window's bottom band; true when the window took the offer.
bool Drop(Form1 &form, const QList<QUrl> &urls) {
  QMimeData data;
  data.setUrls(urls);
  const QPoint at(171, 207);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &enter);
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &drop);
  return enter.isAccepted();
}

// A file: URL for a name in bytes, as a file manager sends it.
QUrl FileUrl(const std::filesystem::path &file, const QByteArray &host = {}) {
  return QUrl::fromEncoded("file://" + host +
                           QByteArray::fromStdString(file.string()).toPercentEncoding("/"));
}

QByteArray ThisMachine() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

QString Text(const QWidget *control) {
  return control->property(qobject_cast<const QGroupBox *>(control) ? "title" : "text").toString();
}

// Pixels nearer the text's colour than the background's, in either polarity.
int Ink(const QImage &image, const QColor &text, const QColor &background) {
  const int ink = qGray(text.rgb()), paper = qGray(background.rgb());
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const int gray = qGray(image.pixel(x, y));
      count += std::abs(gray - ink) < std::abs(gray - paper);
    }
  return count;
}

// How the result box looks to its user: "match" (light green, with the tooltip), "plain" (the
// style's own colour, no tooltip) or, for anything else, what it shows.
QString Look(QLineEdit *box) {
  const QColor seen = box->grab().toImage().pixelColor(box->width() - 4, box->height() / 2);
  const bool lightGreen =
      seen.lightness() > 160 && seen.green() - std::max(seen.red(), seen.blue()) > 20;
  if (lightGreen && box->toolTip() == "Matches the digest on the clipboard")
    return "match";
  if (seen == QApplication::palette(box).color(QPalette::Base) && box->toolTip().isEmpty())
    return "plain";
  return QString("colour %1, tooltip \"%2\"").arg(seen.name(), box->toolTip());
}

// The window's text digest, made to fail on one text as the engine would at one of its limits.
class FailingForm : public Form1 {
public:
  QString MD5dariSTRING(const QString &teks) override {
    if (teks == "boom")
      throw RuntimeError(6);
    return Form1::MD5dariSTRING(teks);
  }
};

} // namespace

class Form1Test : public QObject {
  Q_OBJECT

  std::unique_ptr<Form1> form_;

  // A window on screen with the keyboard focus.
  Form1 &Shown(std::unique_ptr<Form1> form = std::make_unique<Form1>()) {
    form_ = std::move(form);
    form_->show();
    QApplication::setActiveWindow(form_.get());
    [&] { QVERIFY(QTest::qWaitForWindowActive(form_.get())); }();
    return *form_;
  }

private slots:
  void cleanup() { form_.reset(); }

  void startsFixedEmptyAndIdle() {
    Form1 &form = Shown();
    QCOMPARE(form.windowTitle(), "Quillsum");
    QCOMPARE(form.size(), QSize(343, 214));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    for (const char *name : {"Text1", "Text2", "Text3"})
      QVERIFY2(Box(form, name)->text().isEmpty(), name);
    QVERIFY(Box(form, "Text3")->placeholderText().isEmpty());
    QCOMPARE(QApplication::focusWidget(), Box(form, "Text1"));
    QVERIFY(!form.findChild<QFileDialog *>()); // nothing shown but the window
  }

  void everyControlIsAsLaidOut_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("tahoma");
    QTest::newRow("Frame3") << "QGroupBox"
                            << "Form1" << QRect(8, 128, 329, 57) << "Result" << true;
    QTest::newRow("Text3") << "QLineEdit"
                           << "Frame3" << QRect(8, 24, 314, 19) << "" << false;
    QTest::newRow("Frame1") << "QGroupBox"
                            << "Form1" << QRect(8, 8, 329, 113) << "Source" << true;
    QTest::newRow("Command1") << "QPushButton"
                              << "Frame1" << QRect(288, 32, 25, 17) << "..." << true;
    QTest::newRow("Text2") << "QLineEdit"
                           << "Frame1" << QRect(8, 80, 314, 19) << "" << false;
    QTest::newRow("Text1") << "QLineEdit"
                           << "Frame1" << QRect(8, 32, 273, 19) << "" << false;
    QTest::newRow("Label3") << "QLabel"
                            << "Frame1" << QRect(8, 16, 19, 13) << "File" << true;
    QTest::newRow("Label1") << "QLabel"
                            << "Frame1" << QRect(8, 64, 26, 13) << "Text" << true;
    QTest::newRow("Label4") << "QLabel"
                            << "Form1" << QRect(0, 200, 345, 17) << "www.quillsum.example" << true;
  }
  void everyControlIsAsLaidOut() {
    QFETCH(QString, kind);
    QFETCH(QString, container);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    QFETCH(bool, tahoma);
    Form1 &form = Shown();
    const auto *control = form.findChild<QWidget *>(QTest::currentDataTag());
    QVERIFY(control);
    QCOMPARE(control->metaObject()->className(), kind);
    QCOMPARE(control->parentWidget()->objectName(), container);
    QCOMPARE(control->geometry(), geometry);
    QCOMPARE(Text(control), caption);
    QVERIFY(!control->accessibleName().isEmpty());
    QVERIFY(!control->accessibleDescription().isEmpty());

    const QFontInfo font(control->font());
    QVERIFY2(QFontDatabase::families().contains(font.family()), qPrintable(font.family()));
    if (tahoma) {
      QCOMPARE(control->font().pointSizeF(), 8.25);
      QVERIFY(font.bold());
      // Installed by fonts-wine, which the set-up installs; without it a sans bold serves.
      if (QFile::exists("/usr/share/wine/fonts/tahomabd.ttf"))
        QCOMPARE(font.family(), "Tahoma");
    } else {
      QCOMPARE(control->font(), QApplication::font());
      QVERIFY(!font.bold());
    }
  }

  // Wine's Tahoma bold is bold only in its bitmaps, made for a few pixel sizes; antialiased, or at
  // other sizes, its outlines read as regular weight. What is drawn must be bold at 96 dpi and on
  // desktops set to 120, 144 or 192 dpi, which Qt 6 draws at 1.25, 1.5 or 2 device pixels each.
  void captionsAreDrawnBold_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("dpi");
    const std::pair<const char *, const char *> captions[] = {
        {"Frame1", "Source"},
        {"Frame3", "Result"},
        {"Label1", "Text"},
        {"Label3", "File"},
        {"Label4", "www.quillsum.example"},
        {"Command1", "..."},
    };
    for (const int dpi : {96, 120, 144, 192})
      for (const auto &[name, caption] : captions)
        QTest::addRow("%s at %d dpi", name, dpi) << name << caption << dpi;
  }
  void captionsAreDrawnBold() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(int, dpi);
    const int id = QFontDatabase::addApplicationFont("/usr/share/wine/fonts/tahoma.ttf");
    QVERIFY2(id >= 0, "Tahoma regular comes with fonts-wine");
    QFont regular(QFontDatabase::applicationFontFamilies(id).value(0));
    regular.setPointSizeF(8.25);
    QVERIFY(!QFontInfo(regular).bold());
    Form1 &form = Shown();
    auto *control = form.findChild<QWidget *>(name);
    const QColor text = control->palette().color(control->foregroundRole());
    const QColor background = control->palette().color(control->backgroundRole());
    const qreal scale = dpi / 96.0;

    // The control alone: a frame's text boxes, with their cursor, would count as ink.
    QImage drawn(control->size() * scale, QImage::Format_RGB32);
    drawn.setDevicePixelRatio(scale);
    drawn.fill(background);
    control->render(&drawn, {}, {}, QWidget::DrawWindowBackground);
    QImage reference(drawn.size(), QImage::Format_RGB32);
    reference.setDevicePixelRatio(scale);
    reference.fill(background);
    QPainter painter(&reference);
    painter.setFont(regular);
    painter.setPen(text);
    painter.drawText(QRect(QPoint(), control->size()), Qt::AlignCenter, caption);
    painter.end();

    const int bold = Ink(drawn, text, background), thin = Ink(reference, text, background);
    QVERIFY2(bold >= thin * 5 / 4,
             qPrintable(QString("%1 ink pixels, regular weight %2").arg(bold).arg(thin)));
  }

  void windowShowsTheDesktopIcon() {
    const QFileInfoList pngs = QDir(QUILLSUM_ICONS).entryInfoList({"*.png"});
    Form1 &form = Shown();
    const QIcon icon = form.windowIcon();
    QCOMPARE(icon.availableSizes().size(), pngs.size());
    QVERIFY(icon.availableSizes().contains(QSize(16, 16)));
    QVERIFY(icon.availableSizes().contains(QSize(256, 256)));
    for (const QFileInfo &png : pngs) {
      const QImage installed =
          QImage(png.filePath()).convertToFormat(QImage::Format_ARGB32_Premultiplied);
      QCOMPARE(icon.pixmap(installed.size())
                   .toImage()
                   .convertToFormat(QImage::Format_ARGB32_Premultiplied),
               installed);
    }
  }

  void bandIsBlackWithLightGreyCentredText() {
    Form1 &form = Shown();
    const QImage image = form.grab().toImage();
    const QRgb black = qRgb(0, 0, 0);
    const QRgb grey = qRgb(224, 224, 224);
    int left = image.width(), right = -1, greys = 0;
    for (int y = 200; y < 214; ++y)
      for (int x = 0; x < 343; ++x) {
        const QRgb pixel = image.pixel(x, y) & 0xFFFFFF;
        if (pixel == (grey & 0xFFFFFF))
          ++greys;
        if (pixel != (black & 0xFFFFFF)) {
          left = std::min(left, x);
          right = std::max(right, x);
        }
      }
    QCOMPARE(image.pixel(0, 213), black);
    QCOMPARE(image.pixel(342, 200), black);
    QVERIFY(greys > 0);
    // Centred on the band, which runs two pixels past the window's right edge.
    QVERIFY2(std::abs((left + right + 1) / 2.0 - 345 / 2.0) <= 2,
             qPrintable(QString("text spans %1 to %2").arg(left).arg(right)));
  }

  void tabFollowsTheTabIndex() {
    Form1 &form = Shown();
    QCOMPARE(QApplication::focusWidget(), Box(form, "Text1"));
    for (const char *next : {"Text3", "Text2", "Command1", "Text1"}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget()->objectName(), next);
    }
  }

  void typingShowsTheDigestAfterEveryChange_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("bytes"); // the text in the ANSI code page
    QTest::addColumn<QString>("golden");
    QTest::newRow("abc") << "abc" << QByteArray("abc") << "900150983CD24FB0D6963F7D28E17F72";
    QTest::newRow("message digest")
        << "message digest" << QByteArray("message digest") << "F96B697D7CB7938D525A2F31AAF161D0";
    QTest::newRow("accents and euro")
        << QString::fromUtf8("é€ü") << QByteArray("\xE9\x80\xFC") << "";
  }
  void typingShowsTheDigestAfterEveryChange() {
    QFETCH(QString, typed);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, golden);
    Form1 &form = Shown();
    QLineEdit *text2 = Box(form, "Text2");
    QLineEdit *text3 = Box(form, "Text3");
    for (qsizetype k = 1; k <= typed.size(); ++k) {
      Type(text2, typed.mid(k - 1, 1));
      QCOMPARE(text3->text(), Md5Of(bytes.left(k)));
    }
    if (!golden.isEmpty())
      QCOMPARE(text3->text(), golden);
    for (qsizetype k = typed.size() - 1; k >= 0; --k) {
      QTest::keyClick(text2, Qt::Key_Backspace);
      QCOMPARE(text3->text(), Md5Of(bytes.left(k)));
    }
    QCOMPARE(text3->text(), "D41D8CD98F00B204E9800998ECF8427E");
    QVERIFY(Box(form, "Text1")->text().isEmpty());
  }

  void pastingALongTextDigestsItWhole() {
    Form1 &form = Shown();
    QString text;
    QByteArray bytes;
    const std::string random = RandomBytes(40'000, 4);
    for (const char r : random) {
      // Mostly ASCII, with some characters whose code page byte differs from their code.
      const auto pick = static_cast<unsigned char>(r) % 64;
      const auto [c, b] = pick == 0   ? std::pair{QChar(0x20AC), '\x80'}
                          : pick == 1 ? std::pair{QChar(0xE9), '\xE9'}
                                      : std::pair{QChar('a' + pick % 26), char('a' + pick % 26)};
      text += c;
      bytes += b;
    }
    QApplication::clipboard()->setText(text);
    QLineEdit *text2 = Box(form, "Text2");
    text2->setFocus();
    QTest::keyClick(text2, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(text2->text().size(), 40'000);
    QCOMPARE(Box(form, "Text3")->text(), Md5Of(bytes));
  }

  // %1 is the digest as Text3 shows it, %2 the same in lower case, as md5sum prints it.
  void clipboardHoldingTheDigestMarksTheResult_data() {
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<bool>("matches");
    QTest::newRow("bare digest") << "%1" << true;
    QTest::newRow("md5sum line") << "%2  notes.txt\n" << true;
    QTest::newRow("BSD tag line") << "MD5 (notes.txt) = %2" << true;
    QTest::newRow("in a sentence, second line") << "Checksums:\nmd5 %1." << true;
    QTest::newRow("inside a longer hex run") << "00%2ff" << false;
    QTest::newRow("after a letter") << "x%1" << false;
    QTest::newRow("another digest") << "D41D8CD98F00B204E9800998ECF8427E" << false;
    QTest::newRow("empty") << "" << false;
  }
  void clipboardHoldingTheDigestMarksTheResult() {
    QFETCH(QString, clipboard);
    QFETCH(bool, matches);
    const QString expected = matches ? "match" : "plain";
    QClipboard *board = QApplication::clipboard();
    const auto hold = [&](const QString &digest) {
      board->setText(QString(clipboard).replace("%1", digest).replace("%2", digest.toLower()));
    };
    const test::TempDir dir;
    const auto file = dir.Write("abc", "abc");
    const QString abc = Md5Of("abc"), fingerprint = "1A821A17504FE5B6180E653902FC80BC";
    hold(abc);
    Form1 &form = Shown();
    QLineEdit *text3 = Box(form, "Text3");
    QCOMPARE(Look(text3), "plain");

    Type(Box(form, "Text2"), "ab");
    QCOMPARE(Look(text3), "plain");
    Type(Box(form, "Text2"), "c");
    QCOMPARE(text3->text(), abc);
    QCOMPARE(Look(text3), expected);
    board->setText("something else");
    QCOMPARE(Look(text3), "plain");
    hold(abc);
    QCOMPARE(Look(text3), expected);

    QVERIFY(Choose(form, QString::fromStdString(file.string())));
    QCOMPARE(text3->text(), fingerprint);
    QCOMPARE(Look(text3), "plain");
    hold(fingerprint);
    QCOMPARE(Look(text3), expected);
    QCOMPARE(text3->text(), fingerprint);
  }

  // A user checking a download pastes the published checksum into the result box instead of the
  // text box: only the digest the window computed may turn it green.
  void onlyTheComputedDigestIsMarked_data() {
    QTest::addColumn<QString>("before");      // on the clipboard before the edit
    QTest::addColumn<QTestEventList>("edit"); // keys pressed in Text3 once it is clicked
    QTest::addColumn<QString>("after");       // copied after the edit, unless empty
    QTest::addColumn<QString>("shown");       // Text3's text then
    QTest::addColumn<QString>("look");
    const QString abc = Md5Of("abc"), other = "d41d8cd98f00b204e9800998ecf8427e";
    QTestEventList paste, typeOther, backspace;
    paste.addKeyClick(Qt::Key_A, Qt::ControlModifier);
    paste.addKeyClick(Qt::Key_V, Qt::ControlModifier);
    typeOther.addKeyClick(Qt::Key_A, Qt::ControlModifier);
    typeOther.addKeyClicks(other);
    backspace.addKeyClick(Qt::Key_End);
    backspace.addKeyClick(Qt::Key_Backspace);
    QTestEventList undo(backspace), retype(backspace); // copies; assignment would share the events
    undo.addKeyClick(Qt::Key_Z, Qt::ControlModifier);
    retype.addKeyClicks(abc.right(1));
    QTest::newRow("another digest, copied then pasted") << other << paste << "" << other << "plain";
    QTest::newRow("another digest, typed then copied")
        << "notes" << typeOther << other << other << "plain";
    QTest::newRow("its own digest pasted") << abc << paste << "" << abc << "match";
    QTest::newRow("its own digest pasted in lower case")
        << abc.toLower() << paste << "" << abc.toLower() << "plain";
    QTest::newRow("a digit deleted") << abc << backspace << "" << abc.chopped(1) << "plain";
    QTest::newRow("a digit deleted, then undone") << abc << undo << "" << abc << "match";
    QTest::newRow("a digit deleted and typed again") << abc << retype << "" << abc << "match";
  }
  void onlyTheComputedDigestIsMarked() {
    QFETCH(QString, before);
    QFETCH(QTestEventList, edit);
    QFETCH(QString, after);
    QFETCH(QString, shown);
    QFETCH(QString, look);
    QApplication::clipboard()->setText(before);
    Form1 &form = Shown();
    Type(Box(form, "Text2"), "abc");
    QLineEdit *text3 = Box(form, "Text3");
    QTest::mouseClick(text3, Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), text3);
    edit.simulate(text3);
    if (!after.isEmpty())
      QApplication::clipboard()->setText(after);
    QCOMPARE(text3->text(), shown);
    QCOMPARE(Look(text3), look);
  }

  void choosingAFileShowsItsFingerprint_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("golden");
    QTest::newRow("empty file") << "empty" << QByteArray() << 0LL
                                << "348A9791DC41B89796EC3808B5B5262F";
    QTest::newRow("abc") << "abc" << QByteArray("abc") << 3LL << "1A821A17504FE5B6180E653902FC80BC";
    QTest::newRow("14000 bytes") << "f" << QByteArray::fromStdString(RandomBytes(14'000, 5))
                                 << 14'000LL << "";
    QTest::newRow("2 GiB and more")
        << "big" << QByteArray::fromStdString(RandomBytes(20'000, 6)) << (1LL << 31) + 5 << "";
    QTest::newRow("UTF-8 name") << QString::fromUtf8("café ü €.bin")
                                << QByteArray::fromStdString(RandomBytes(900, 7)) << 900LL << "";
  }
  void choosingAFileShowsItsFingerprint() {
    QFETCH(QString, name);
    QFETCH(QByteArray, head);
    QFETCH(qint64, length);
    QFETCH(QString, golden);
    const test::TempDir dir;
    const QString path = QString::fromStdString(dir.path().string()) + '/' + name;
    MakeFile(path.toStdString(), std::string_view(head.constData(), head.size()), length);
    Form1 &form = Shown();
    Type(Box(form, "Text2"), "x");

    QVERIFY(Choose(form, path));
    QCOMPARE(Box(form, "Text3")->text(), Model(head, length));
    if (!golden.isEmpty())
      QCOMPARE(Box(form, "Text3")->text(), golden);
    QVERIFY(Box(form, "Text1")->text().isEmpty());
    QCOMPARE(Box(form, "Text2")->text(), "x");
  }

  void cancellingChangesNothing() {
    const test::TempDir dir;
    const auto file = dir.Write("abc", "abc");
    Form1 &form = Shown();
    QLineEdit *text3 = Box(form, "Text3");
    Type(Box(form, "Text2"), "abc");
    QVERIFY(PressAndCancel(form));
    QCOMPARE(text3->text(), Md5Of("abc"));

    QVERIFY(Choose(form, QString::fromStdString(file.string())));
    QCOMPARE(text3->text(), "1A821A17504FE5B6180E653902FC80BC");
    const auto *cmd = form.findChild<CommonDialog *>("cmd");
    QCOMPARE(cmd->FileName(), QString::fromStdString(file.string()));
    Type(Box(form, "Text2"), "d");
    QVERIFY(PressAndCancel(form)); // must not fingerprint the earlier choice again
    QCOMPARE(cmd->FileName(), "");
    QCOMPARE(text3->text(), Md5Of("abcd"));
  }

  void ctrlOOpensTheDialog() {
    const test::TempDir dir;
    const auto file = dir.Write("abc", "abc");
    Form1 &form = Shown();
    QLineEdit *text2 = Box(form, "Text2");
    text2->setFocus();
    QVERIFY(WithModal(
        [&] { QTest::keyClick(text2, Qt::Key_O, Qt::ControlModifier); },
        [&](QWidget *modal) { TypeNameAndOpen(modal, QString::fromStdString(file.string())); }));
    QCOMPARE(Box(form, "Text3")->text(), "1A821A17504FE5B6180E653902FC80BC");
  }

  void droppingAFileFingerprintsIt_data() {
    QTest::addColumn<QByteArrayList>("names"); // made as files unless "folder" or "missing"
    QTest::addColumn<QByteArray>("host");      // of the file: URLs
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("failure"); // when taken: "" for a fingerprint
    const QByteArray none;
    QTest::newRow("one file") << QByteArrayList{"f"} << none << true << "";
    QTest::newRow("name not UTF-8") << QByteArrayList{"\xFF\xFE name.bin"} << none << true << "";
    QTest::newRow("name with a newline") << QByteArrayList{"two\nlines"} << none << true << "";
    QTest::newRow("name with %") << QByteArrayList{"100%25"} << none << true << "";
    QTest::newRow("no such file") << QByteArrayList{"missing"} << none << true << "no such file";
    if (::geteuid() != 0) // root reads anything
      QTest::newRow("unreadable") << QByteArrayList{"unreadable"} << none << true
                                  << "cannot read: permission denied";
    QTest::newRow("folder") << QByteArrayList{"folder"} << none << false << "";
    QTest::newRow("two files") << QByteArrayList{"f", "g"} << none << false << "";
    QTest::newRow("web address") << QByteArrayList{} << none << false << "";
    QTest::newRow("host: localhost")
        << QByteArrayList{"f"} << QByteArray("LocalHost") << true << "";
    QTest::newRow("host: this machine") << QByteArrayList{"f"} << ThisMachine() << true << "";
    QTest::newRow("host: another machine")
        << QByteArrayList{"f"} << QByteArray("otherhost") << false << "";
  }
  void droppingAFileFingerprintsIt() {
    QFETCH(QByteArrayList, names);
    QFETCH(QByteArray, host);
    QFETCH(bool, taken);
    QFETCH(QString, failure);
    const test::TempDir dir;
    const std::string content = RandomBytes(3000, 8);
    QList<QUrl> urls;
    for (const QByteArray &name : names) {
      const auto path = dir.path() / name.toStdString();
      if (name == "folder")
        std::filesystem::create_directory(path);
      else if (name != "missing")
        MakeFile(path, content, 3000);
      if (name == "unreadable")
        QCOMPARE(::chmod(path.c_str(), 0), 0);
      urls << FileUrl(path, host);
    }
    if (names.isEmpty())
      urls << QUrl("https://www.quillsum.example/f");

    Form1 &form = Shown();
    QLineEdit *text3 = Box(form, "Text3");
    Type(Box(form, "Text2"), "abc");
    QCOMPARE(Drop(form, urls), taken);
    if (!taken)
      QCOMPARE(text3->text(), Md5Of("abc"));
    else if (failure.isEmpty())
      QCOMPARE(text3->text(), Model(QByteArray::fromStdString(content), 3000));
    else
      QCOMPARE(text3->text(), "");
    QCOMPARE(text3->placeholderText(), failure);

    Type(Box(form, "Text2"), "d"); // the next result clears the reason
    QCOMPARE(text3->text(), Md5Of("abcd"));
    QCOMPARE(text3->placeholderText(), "");
  }

  void filesAreDroppedOnTheWindowAndTextOnText2() {
    Form1 &form = Shown();
    QVERIFY(form.acceptDrops());
    QVERIFY(Box(form, "Text2")->acceptDrops());
    QVERIFY(!Box(form, "Text1")->acceptDrops());
    QVERIFY(!Box(form, "Text3")->acceptDrops());
  }

  void aRunTimeErrorIsReportedAndTheWindowCarriesOn() {
    Form1 &form = Shown(std::make_unique<FailingForm>());
    QLineEdit *text2 = Box(form, "Text2");
    QLineEdit *text3 = Box(form, "Text3");
    Type(text2, "boo");
    QString text, informative;
    QVERIFY(WithModal([&] { Type(text2, "m"); },
                      [&](QWidget *modal) {
                        auto *report = qobject_cast<QMessageBox *>(modal);
                        QVERIFY(report);
                        text = report->text();
                        informative = report->informativeText();
                        QTest::mouseClick(report->button(QMessageBox::Ok), Qt::LeftButton);
                      }));
    QCOMPARE(text, "Run-time error '6':");
    QCOMPARE(informative, "Overflow");
    QCOMPARE(text3->text(), Md5Of("boo"));
    QVERIFY(form.isVisible());
    Type(text2, "s");
    QCOMPARE(text3->text(), Md5Of("booms"));
  }
};

} // namespace quillsum

QUILLSUM_HEADLESS_TEST_MAIN(quillsum::Form1Test)
#include "Form1Test.moc"
