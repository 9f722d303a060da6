#include "ui/HelpWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "foundation/Messages.h"
#include "foundation/UiServices.h"
#include "resources/Icons.h"
#include "setup/HelpFile.h"
#include "storage/Drive.h"
#include "ui/DelvoraView.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"

namespace {
QPointer<CHelpWindow> g_window;
QPointer<CMainFrame> g_frame;
}  // namespace

CHelpWindow::CHelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("CHelpWindow"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("Delvora 4.3 Help"));
  setWindowIcon(QIcon(dvres::Draw(dvres::Image::AppIcon, 32)));
  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(0, 0, 0, 0);
  browser_ = new QTextBrowser(this);
  browser_->setOpenLinks(true);
  browser_->setOpenExternalLinks(false);
  v->addWidget(browser_);
  resize(640, 520);
}

void CHelpWindow::Show(const std::string& path, const std::string& anchor) {
  anchor_ = anchor;
  QUrl url = QUrl::fromLocalFile(QString::fromStdString(path));
  url.setFragment(QString::fromStdString(anchor));
  browser_->setSource(url);
  if (!anchor.empty()) browser_->scrollToAnchor(QString::fromStdString(anchor));
  show();
  raise();
  activateWindow();
}

CLaunch::CLaunch(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CLaunch"));
  setWindowTitle(ToQ(StripAccelerator(FromQ(MessageOr(463, u"&Open Help")))));
  auto* v = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
  row->addWidget(icon, 0, Qt::AlignTop);
  auto* text = new QLabel(QStringLiteral("\nWarning: If the drive holding the lost data is the drive Delvora or your "
                                         "temporary folder lies on, opening help writes a file there and will "
                                         "slightly reduce the chances of a successful recovery."),
                          this);
  text->setObjectName(QStringLiteral("ctl1217"));
  text->setWordWrap(true);
  text->setFixedWidth(360);
  text->setMinimumHeight(text->heightForWidth(360));
  row->addWidget(text, 1);
  v->addLayout(row);
  check_ = new QCheckBox(QStringLiteral("&Do not display this message again."), this);
  check_->setObjectName(QStringLiteral("ctl1014"));
  v->addWidget(check_);
  auto* buttons = new QDialogButtonBox(this);
  auto* ok = buttons->addButton(MessageOr(463, u"&Open Help"), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("ctl1"));
  ok->setDefault(true);
  buttons->addButton(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("ctl2"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  v->addWidget(buttons);
  adjustSize();
}

void CLaunch::accept() {
  dontShowAgain = check_->isChecked();
  QDialog::accept();
}

CHelpWindow* CurrentHelpWindow() { return g_window.data(); }

void InstallHelpWindows(CMainFrame* frame) {
  g_frame = frame;
  if (!g_helpFile) return;
  g_helpFile->askLaunch = [](bool* dontShow) {
    CLaunch dlg(QApplication::activeModalWidget() ? QApplication::activeModalWidget() : g_frame.data());
    const int r = RunDialog(dlg);
    *dontShow = dlg.dontShowAgain;
    return r == QDialog::Accepted ? kIdOk : kIdCancel;
  };
  g_helpFile->show = [](const std::string& path, const std::string& anchor) {
    // Parented to an open modal dialog, else Qt would block its input.
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent) parent = g_frame.data();
    if (!g_window || g_window->parentWidget() != parent) {
      if (g_window) g_window->close();
      g_window = new CHelpWindow(parent);
    }
    g_window->Show(path, anchor);
    return true;
  };
  g_helpFile->listRows = [] {
    if (!g_frame || !g_frame->View() || !g_frame->View()->List()) return -1;
    return int(g_frame->View()->List()->RowCount());
  };
  g_helpFile->currentDrive = [] { return g_currentDrive; };
}
