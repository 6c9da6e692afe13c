#include "window/Form1.h"

#include "engine/Fingerprint.h"
#include "engine/MD5CLS.h"
#include "engine/RuntimeError.h"
#include "window/CaptionStyle.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QSysInfo>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace quillsum {
namespace {

// A fresh engine for every digest, so that nothing passes from one digest to the next. The engine
// reads the text where it is: a long paste is not copied on every keystroke.
QString DigestOf(QStringView text) {
  MD5CLS md5;
  md5.MD5Init();
  md5.DigestStrToHexStr({text.utf16(), static_cast<std::size_t>(text.size())});
  return QString::fromStdString(md5.GetValues());
}

// Why a fingerprint failed, in a few words; "" when it did not.
QString FailureOf(const Fingerprint &fingerprint) {
  switch (fingerprint.failure) {
  case Fingerprint::Failure::None:
    return {};
  case Fingerprint::Failure::Directory:
  case Fingerprint::Failure::NotRegular:
    return QStringLiteral("not a file");
  case Fingerprint::Failure::Unreadable:
    break;
  }
  if (fingerprint.error == ENOENT || fingerprint.error == ENOTDIR)
    return QStringLiteral("no such file");
  return QStringLiteral("cannot read: ") +
         QString::fromLocal8Bit(std::strerror(fingerprint.error)).toLower();
}

// name is the file's name exactly as the file system knows it.
Fingerprint FingerprintOf(const QByteArray &name) {
  return SampledFingerprint(name.toStdString(), NonRegular::SampledAsEmpty);
}

// A file: URL names a file of this machine when its host is empty, "localhost" or the machine's
// own name; QUrl::isLocalFile() says yes to every host.
bool IsOfThisMachine(const QUrl &url) {
  const QString host = url.host();
  return url.isLocalFile() && (host.isEmpty() || host == QStringLiteral("localhost") ||
                               host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0);
}

// The one local file a drop carries, as the bytes of its name: the URL keeps bytes that are not
// UTF-8 percent-encoded, where a QString would lose them. Nothing for a folder, several files or a
// file of another host.
std::optional<QByteArray> DroppedFile(const QMimeData *data) {
  const QList<QUrl> urls = data->urls();
  if (urls.size() != 1 || !IsOfThisMachine(urls.front()))
    return std::nullopt;
  QByteArray name =
      QByteArray::fromPercentEncoding(urls.front().path(QUrl::FullyEncoded).toLatin1());
  struct stat info {};
  if (::stat(name.constData(), &info) == 0 && S_ISDIR(info.st_mode))
    return std::nullopt;
  return name;
}

// Names a control, puts it at its place in its container and tells a screen reader about it.
template <class Control>
Control *Place(Control *control, const char *name, QRect geometry, const char *accessibleName,
               const char *description) {
  control->setObjectName(QString::fromLatin1(name));
  control->setGeometry(geometry);
  control->setAccessibleName(QString::fromUtf8(accessibleName));
  control->setAccessibleDescription(QString::fromUtf8(description));
  return control;
}

QLineEdit *TextBox(QWidget *frame, const char *name, QRect geometry, const char *accessibleName,
                   const char *description) {
  auto *box = Place(new QLineEdit(frame), name, geometry, accessibleName, description);
  // The frame's font would pass to the box; a box keeps the application's own font.
  QFont font = QApplication::font();
  font.setResolveMask(QFont::AllPropertiesResolved);
  box->setFont(font);
  // No length limit: a long pasted text is digested whole, not cut short.
  box->setMaxLength(std::numeric_limits<int>::max());
  return box;
}

// The words of 32 hex digits in a text, as a bare digest, an md5sum line or "MD5 (name) = ..."
// carries them, in upper case. A longer run of hex digits, such as a SHA-256, holds none.
QSet<QString> DigestsIn(const QString &text) {
  static const QRegularExpression word(QStringLiteral("(?<!\\w)[0-9A-Fa-f]{32}(?!\\w)"),
                                       QRegularExpression::UseUnicodePropertiesOption);
  QSet<QString> digests;
  for (const QRegularExpressionMatch &match : word.globalMatch(text))
    digests << match.captured().toUpper();
  return digests;
}

} // namespace

Form1::Form1(QWidget *parent) : QWidget(parent), cmd(this, QStringLiteral("cmd")) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Quillsum"));
  setFixedSize(343, 214);
  setAcceptDrops(true);
  QIcon icon; // the one installed for the desktop, at every size drawn
  for (const QFileInfo &png : QDir(QStringLiteral(":/icons")).entryInfoList(QDir::Files))
    icon.addFile(png.filePath());
  setWindowIcon(icon);
  auto *captions = new CaptionStyle(this);

  auto *Frame3 = Place(new QGroupBox(QStringLiteral("Result"), this), "Frame3", {8, 128, 329, 57},
                       "Result", "Where the digest or the fingerprint shows");
  captions->Apply(Frame3);
  Text3 = TextBox(Frame3, "Text3", {8, 24, 314, 19}, "Result",
                  "The MD5 digest of the text, or the sampled fingerprint of the chosen file");

  auto *Frame1 = Place(new QGroupBox(QStringLiteral("Source"), this), "Frame1", {8, 8, 329, 113},
                       "Source", "A file or a text to digest");
  captions->Apply(Frame1);
  auto *Command1 =
      Place(new QPushButton(QStringLiteral("..."), Frame1), "Command1", {288, 32, 25, 17},
            "Choose file", "Chooses a file and shows its sampled fingerprint (Ctrl+O)");
  captions->Apply(Command1);
  Text2 = TextBox(Frame1, "Text2", {8, 80, 314, 19}, "Text",
                  "Its MD5 digest shows in Result after every change");
  auto *Text1 = TextBox(Frame1, "Text1", {8, 32, 273, 19}, "File",
                        "Not used: choose a file with the button beside it");
  auto *Label3 = Place(new QLabel(QStringLiteral("File"), Frame1), "Label3", {8, 16, 19, 13},
                       "File", "Caption of the file row");
  captions->Apply(Label3);
  auto *Label1 = Place(new QLabel(QStringLiteral("Text"), Frame1), "Label1", {8, 64, 26, 13},
                       "Text", "Caption of the text box");
  captions->Apply(Label1);

  // cmd, the open-file dialog, is made when first shown.

  auto *Label4 = Place(new QLabel(QStringLiteral("www.quillsum.example"), this), "Label4",
                       {0, 200, 345, 17}, "Web address", "Quillsum's web address");
  captions->Apply(Label4);
  Label4->setTextFormat(Qt::PlainText);
  Label4->setAlignment(Qt::AlignCenter);
  Label4->setAutoFillBackground(true);
  QPalette band = Label4->palette();
  band.setColor(QPalette::Window, Qt::black);
  band.setColor(QPalette::WindowText, QColor(224, 224, 224));
  Label4->setPalette(band);

  // A file dropped on the file box or the result box is fingerprinted, as anywhere else in the
  // window; only Text2 takes dropped text.
  Text1->setAcceptDrops(false);
  Text3->setAcceptDrops(false);

  setTabOrder(Text1, Text3);
  setTabOrder(Text3, Text2);
  setTabOrder(Text2, Command1);
  Text1->setFocus();

  connect(Text2, &QLineEdit::textChanged, this, [this] { Run(&Form1::Text2_Change); });
  connect(Command1, &QPushButton::clicked, this, [this] { Run(&Form1::Command1_Click); });
  connect(new QShortcut(QKeySequence::Open, this), &QShortcut::activated, this,
          [this] { Run(&Form1::Command1_Click); });

  connect(QApplication::clipboard(), &QClipboard::dataChanged, this, &Form1::ReadClipboard);
  connect(Text3, &QLineEdit::textChanged, this, &Form1::MarkMatch);
  ReadClipboard();
}

QString Form1::MD5dariFile(const QString &FileName) {
  return QString::fromStdString(FingerprintOf(QFile::encodeName(FileName)).digest);
}

QString Form1::MD5dariSTRING(const QString &teks) { return DigestOf(teks); }

void Form1::dragEnterEvent(QDragEnterEvent *event) {
  if (DroppedFile(event->mimeData()))
    event->acceptProposedAction();
}

void Form1::dropEvent(QDropEvent *event) {
  if (const auto name = DroppedFile(event->mimeData())) {
    event->acceptProposedAction();
    ShowFingerprint(*name);
  }
}

void Form1::Text2_Change() { Show(MD5dariSTRING(Text2->text())); }

void Form1::Command1_Click() {
  cmd.ShowOpen();
  if (!cmd.FileName().isEmpty())
    ShowFingerprint(QFile::encodeName(cmd.FileName()));
}

void Form1::Run(void (Form1::*handler)()) {
  try {
    (this->*handler)();
  } catch (const RuntimeError &error) {
    QMessageBox report(QMessageBox::Critical, windowTitle(),
                       QStringLiteral("Run-time error '%1':").arg(error.Number()), QMessageBox::Ok,
                       this);
    report.setInformativeText(QString::fromUtf8(error.what()));
    report.exec();
  }
}

void Form1::ShowFingerprint(const QByteArray &name) {
  const Fingerprint fingerprint = FingerprintOf(name);
  Show(QString::fromStdString(fingerprint.digest), FailureOf(fingerprint));
}

void Form1::Show(const QString &digest, const QString &failure) {
  result_ = digest;
  Text3->setText(digest);
  Text3->setPlaceholderText(failure);
}

// Only the digests are kept, so a keystroke never fetches the clipboard from its owner again.
void Form1::ReadClipboard() {
  clipboardDigests_ = DigestsIn(QApplication::clipboard()->text());
  MarkMatch();
}

// Green vouches only for what this window computed: a digest typed or pasted into Text3 would
// match the clipboard it came from.
void Form1::MarkMatch() {
  const bool match = Text3->text() == result_ && clipboardDigests_.contains(result_);
  QPalette palette; // empty: the style's own colours
  if (match)
    palette.setColor(QPalette::Base, QColor(200, 240, 200));
  Text3->setPalette(palette);
  Text3->setToolTip(match ? QStringLiteral("Matches the digest on the clipboard") : QString());
}

} // namespace quillsum
