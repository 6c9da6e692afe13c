#include "window/CommonDialog.h"

#include <QFileDialog>

namespace quillsum {

CommonDialog::CommonDialog(QWidget *owner, const QString &name) : QObject(owner), owner_(owner) {
  setObjectName(name);
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
