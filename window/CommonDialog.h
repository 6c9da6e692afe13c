#pragma once

#include <QString>

class QFileDialog;
class QWidget;

namespace quillsum {

// The window's open-file dialog: Qt's own widget-based file dialog in its open-file form, with no
// title, filter or folder of its own. It is made when first shown and then kept, so it remembers
// the folder the user was in.
class CommonDialog {
public:
  // The dialog will be a child of owner, named name.
  CommonDialog(QWidget *owner, QString name);

  // Shows the dialog and waits until the user closes it.
  void ShowOpen();
  // The path of the file chosen at the last ShowOpen(), or "" when it was cancelled.
  const QString &FileName() const { return fileName_; }

private:
  QWidget *owner_;
  QString name_;
  QFileDialog *dialog_ = nullptr; // deleted with owner_
  QString fileName_;
};

} // namespace quillsum
