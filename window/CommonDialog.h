#pragma once

#include <QObject>
#include <QString>

class QFileDialog;
class QWidget;

namespace quillsum {

// The window's open-file dialog: Qt's own widget-based file dialog in its open-file form, with no
// title, filter or folder of its own. It is made when first shown and then kept, so it remembers
// the folder the user was in for the rest of the run; nothing of it is kept after. This object and
// the dialog both take the name given, so either can be found among the owner's children.
class CommonDialog : public QObject {
  Q_OBJECT

public:
  CommonDialog(QWidget *owner, const QString &name);

  // Shows the dialog and waits until the user closes it.
  Q_INVOKABLE void ShowOpen();
  // The path of the file chosen at the last ShowOpen(), or "" when it was cancelled.
  Q_INVOKABLE QString FileName() const { return fileName_; }

private:
  QWidget *owner_;
  QFileDialog *dialog_ = nullptr; // deleted with owner_
  QString fileName_;
};

} // namespace quillsum
