#include "ui/SupportDialog.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "storage/Drive.h"
#include "ui/DialogBase.h"
#include "ui/QtPrompt.h"

CMacroDialog::CMacroDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CMacro"));
  setWindowTitle(QStringLiteral("Support command"));
  auto* v = new QVBoxLayout(this);
  edit_ = new QLineEdit(this);
  edit_->setObjectName(QStringLiteral("ctl1466"));
  edit_->setMinimumWidth(420);
  v->addWidget(edit_);
  auto* row = new QHBoxLayout;
  row->addStretch();
  auto* ok = new QPushButton(OkText(), this);
  ok->setDefault(true);
  auto* cancel = new QPushButton(CancelText(), this);
  row->addWidget(ok);
  row->addWidget(cancel);
  v->addLayout(row);
  connect(ok, &QPushButton::clicked, this, &CMacroDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CMacroDialog::accept() {
  lastResult = macro.RunCommand(FromQ(edit_->text()), g_currentDrive);
  // A command that did nothing leaves the dialog as it was.
  if (lastResult != CMacro::kFailed) QDialog::accept();
}
