#include "window/CommonDialog.h"

#include <QFileDialog>

#include <utility>

namespace quillsum {

CommonDialog::CommonDialog(QWidget *owner, QString name) : owner_(owner), name_(std::move(name)) {}

void CommonDialog::ShowOpen() {
  if (!dialog_) {
    dialog_ = new QFileDialog(owner_);
    dialog_->setObjectName(name_);
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
