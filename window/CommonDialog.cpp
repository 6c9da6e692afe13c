#include "window/CommonDialog.h"

#include <QFileDialog>
#include <QSettings>

namespace quillsum {

CommonDialog::CommonDialog(QWidget *owner, const QString &name) : QObject(owner), owner_(owner) {
  setObjectName(name);
  // Qt's file dialog restores its history, sidebar and layout from the user's QtProject.conf
  // and saves them there, with its last folder, when destroyed: one run, or another Qt program,
  // would steer the next. /dev/null is never a folder: there is nothing to read under it and
  // nothing can be made there, so nothing is kept and nothing is left behind, even by a crash.
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("/dev/null"));
}

void CommonDialog::ShowOpen() {
  if (!dialog_) {
    dialog_ = new QFileDialog(owner_);
    dialog_->setObjectName(objectName());
    dialog_->setOption(QFileDialog::DontUseNativeDialog);
    dialog_->setAcceptMode(QFileDialog::AcceptOpen);
    dialog_->setFileMode(QFileDialog::ExistingFile);
  }
  // A cancel leaves no name behind, so it never fingerprints an earlier choice again.
  fileName_.clear();
  if (dialog_->exec() == QDialog::Accepted)
    fileName_ = dialog_->selectedFiles().value(0);
}

} // namespace quillsum
