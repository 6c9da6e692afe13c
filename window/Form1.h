#pragma once

#include "window/CommonDialog.h"

#include <QSet>
#include <QWidget>

class QLineEdit;

namespace quillsum {

// Quillsum's window. Every edit of the text box Text2 shows the text's MD5 in Text3; a file chosen
// with the "..." button (or Ctrl+O, or dropped on the window) shows its sampled fingerprint there.
// A run-time error inside a handler is reported in a message box and leaves Text3 as it was.
// Text3 turns light green while it shows the result a handler wrote into it and the clipboard's
// text holds that result as a word; an edited Text3 stays plain.
class Form1 : public QWidget {
  Q_OBJECT

public:
  explicit Form1(QWidget *parent = nullptr);

  // The MD5 of sixteen 16-byte samples of the file, at offsets 0, 429, 979 and 1999 to 13999 in
  // steps of 1000, bytes past the end counting as zeros. "" when the name leads to no regular
  // file or the file cannot be read. Reads at most 256 bytes, whatever the file's size.
  QString MD5dariFile(const QString &FileName);
  // The MD5 of the text, one byte per character. Virtual only so that a test can make it fail.
  virtual QString MD5dariSTRING(const QString &teks);

protected:
  void dragEnterEvent(QDragEnterEvent *event) override;
  void dropEvent(QDropEvent *event) override;

private:
  void Text2_Change();
  void Command1_Click();
  // Runs a handler; its run-time error is reported here, since Qt's event loop must not see it.
  void Run(void (Form1::*handler)());
  void ShowFingerprint(const QByteArray &name);
  // Replaces Text3's text; failure, if any, shows greyed in the empty box.
  void Show(const QString &digest, const QString &failure = {});
  void ReadClipboard();
  void MarkMatch();

  QLineEdit *Text2;
  QLineEdit *Text3;
  CommonDialog cmd;
  QString result_;                 // what a handler last wrote into Text3
  QSet<QString> clipboardDigests_; // every 32-hex-digit word of the clipboard's text, upper case
};

} // namespace quillsum
