#include "ui/SetupWizard.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>
#include <map>

#include "engine/RecoverNtfs.h"
#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/UiServices.h"
#include "foundation/Utilities.h"
#include "platform/Platform.h"
#include "resources/Icons.h"
#include "setup/LicenseText.h"
#include "setup/Switches.h"
#include "ui/OwnControls.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"

extern char** environ;

class CMyROMultiEdit : public QPlainTextEdit {
 public:
  explicit CMyROMultiEdit(QWidget* parent, bool white) : QPlainTextEdit(parent) {
    setReadOnly(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, white ? QColor(Qt::white) : pal.color(QPalette::Button));
    pal.setColor(QPalette::Text, Qt::black);
    setPalette(pal);
  }
};

namespace {

double Scale() { return g_appState ? g_appState->displayScale : 1.0; }

QString Prod(const char16_t* text) { return ToQ(WString(text)).replace(QStringLiteral("%%PRODVER%%"), QStringLiteral("Delvora 4.3")); }

void Name(QWidget* w, int id) { w->setObjectName(QStringLiteral("ctl%1").arg(id)); }

QLabel* Static(QWidget* parent, int id, const QString& text) {
  auto* l = new QLabel(text, parent);
  Name(l, id);
  l->setWordWrap(true);
  return l;
}

CDlgHeaderCtrl* Banner(QWidget* page, const QString& title, const QString& subtitle) {
  auto* b = new CDlgHeaderCtrl(page);
  Name(b, 1349);
  b->SetTitle(title);
  b->SetSubtitle(subtitle);
  b->setMinimumHeight(int(48 * Scale()) + 5);
  return b;
}

// A banner page: the header, then the page's own controls.
QVBoxLayout* BannerLayout(QWidget* page, const QString& title, const QString& subtitle) {
  auto* outer = new QVBoxLayout(page);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(Banner(page, title, subtitle));
  auto* inner = new QVBoxLayout;
  inner->setContentsMargins(36, 12, 36, 8);
  outer->addLayout(inner, 1);
  return inner;
}

// The wizard's picture pages (welcome, finish): a tall picture at the left,
// the title in Arial, then the text.
class PicturePage : public CMyPP {
 public:
  PicturePage(const QString& title, QWidget* parent) : CMyPP(parent), title_(title) {
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(0, 0, 12, 12);
    auto* picture = new QLabel(this);
    picture->setPixmap(dvres::Draw(dvres::Image::AppIcon, 96, devicePixelRatioF()));
    picture->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    picture->setMargin(16);
    picture->setAutoFillBackground(true);
    QPalette pal = picture->palette();
    pal.setColor(QPalette::Window, QColor(0x1f, 0x4e, 0x8c));
    picture->setPalette(pal);
    picture->setFixedWidth(int(164 * Scale()));
    h->addWidget(picture);
    body_ = new QVBoxLayout;
    body_->setContentsMargins(12, 12, 0, 0);
    auto* t = new QLabel(title_, this);
    t->setObjectName(QStringLiteral("title"));
    t->setWordWrap(true);
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(13.5);
    f.setBold(true);
    t->setFont(f);
    body_->addWidget(t);
    h->addLayout(body_, 1);
  }
  QVBoxLayout* Body() const { return body_; }

 private:
  QString title_;
  QVBoxLayout* body_;
};

class WelcomePage : public PicturePage {
 public:
  explicit WelcomePage(QWidget* parent) : PicturePage(QStringLiteral("Welcome to the Delvora 4.3 Setup Wizard"), parent) {
    Body()->addWidget(Static(this, 1347, Prod(Msg(531).empty() ? u"This will install %%PRODVER%% on your computer.\n\nClick Next to continue, or Cancel to exit Setup." : Msg(531).c_str())));
    Body()->addStretch(1);
  }
};

class EulaPage : public QWizardPage {
 public:
  explicit EulaPage(QWidget* parent) : QWizardPage(parent) {
    auto* v = BannerLayout(this, ToQ(WString(kLicenseTitle)),
                           QStringLiteral("Please read the following important information before continuing."));
    v->addWidget(Static(this, 1350, QStringLiteral("Please read the following License Agreement. You must accept the "
                                                   "terms of this agreement before continuing with the installation.")));
    auto* text = new CMyROMultiEdit(this, true);
    Name(text, 1319);
    text->setPlainText(ToQ(WString(kLicenseText)));
    v->addWidget(text, 1);
    accept_ = new QRadioButton(QStringLiteral("I &accept the agreement"), this);
    Name(accept_, 1320);
    reject_ = new QRadioButton(QStringLiteral("I &do not accept the agreement"), this);
    Name(reject_, 1321);
    reject_->setChecked(true);
    v->addWidget(accept_);
    v->addWidget(reject_);
    connect(accept_, &QRadioButton::toggled, this, [this](bool) { emit completeChanged(); });
  }
  bool isComplete() const override { return accept_->isChecked(); }

 private:
  QRadioButton* accept_;
  QRadioButton* reject_;
};

class DestinationPage : public QWizardPage {
 public:
  DestinationPage(CSetupWizard* wizard) : QWizardPage(wizard), wizard_(wizard) {
    auto* v = BannerLayout(this, QStringLiteral("Select Destination Location"),
                           QStringLiteral("Where should Delvora 4.3 be installed?"));
    v->addWidget(Static(this, 1324, QStringLiteral("Setup will install Delvora 4.3 into the following folder.")));
    v->addWidget(Static(this, 1325, QStringLiteral("To continue, click Next. If you would like to select a different "
                                                   "folder, click Browse.")));
    auto* row = new QHBoxLayout;
    edit_ = new QLineEdit(this);
    Name(edit_, 1326);
    auto* browse = new QPushButton(MessageOr(443, u"B&rowse..."), this);
    Name(browse, 1011);
    row->addWidget(edit_, 1);
    row->addWidget(browse);
    v->addLayout(row);
    v->addStretch(1);
    struct stat st;
    const int64_t size = stat("/proc/self/exe", &st) == 0 ? int64_t(st.st_size) : 0;
    v->addWidget(Static(this, 1327, QStringLiteral("At least %1 of free disk space is required.").arg(ToQ(FormatSize(size)))));
    connect(browse, &QPushButton::clicked, this, [this] { Browse(); });
  }
  void initializePage() override {
    edit_->setText(wizard_->programFolder.isEmpty() ? ToQ(FromUtf8(wizard_->places.programFolder)) : wizard_->programFolder);
  }
  void cleanupPage() override { wizard_->programFolder = edit_->text(); }
  bool validatePage() override {
    const QString folder = ToQ(TrimPathEnd(FromQ(edit_->text())));
    edit_->setText(folder);
    wizard_->programFolder = folder;
    return ValidateTargetFolder(this, ToUtf8(FromQ(folder)), edit_) == 0;
  }
  void Browse() {
    WString existing;
    CheckPath(FromQ(edit_->text()) + u"/x", &existing, true);
    const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Select a folder in the list below, then click OK."),
                                                             ToQ(existing), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return;
    edit_->setText(chosen + (chosen.endsWith(u'/') ? QString() : QStringLiteral("/")) + QStringLiteral("delvora-4.3"));
  }

 private:
  CSetupWizard* wizard_;
  QLineEdit* edit_;
};

class StartMenuPage : public QWizardPage {
 public:
  StartMenuPage(CSetupWizard* wizard) : QWizardPage(wizard), wizard_(wizard) {
    auto* v = BannerLayout(this, QStringLiteral("Select Menu Folder"),
                           QStringLiteral("Where should Setup place the program's menu entries?"));
    v->addWidget(Static(this, 1328, QStringLiteral("Setup will place the program's menu entries in the following "
                                                   "folder of the applications folder.")));
    v->addWidget(Static(this, 1329, QStringLiteral("Desktop menus sort programs by their category (Delvora appears "
                                                   "under System), not by this folder. To continue, click Next.")));
    auto* row = new QHBoxLayout;
    edit_ = new QLineEdit(this);
    Name(edit_, 1330);
    auto* browse = new QPushButton(MessageOr(443, u"B&rowse..."), this);
    Name(browse, 1011);
    row->addWidget(edit_, 1);
    row->addWidget(browse);
    v->addLayout(row);
    v->addSpacing(12);
    v->addWidget(Static(this, 1331, QStringLiteral("Install Delvora 4.3 for yourself, or for anyone who uses this computer:")));
    everyone_ = new QRadioButton(QStringLiteral("&Everyone"), this);
    Name(everyone_, 1332);
    justMe_ = new QRadioButton(QStringLiteral("Just &me"), this);
    Name(justMe_, 1333);
    // Root installs for everyone and never writes into a user's home; a
    // user cannot write the machine's folders.
    const bool root = wizard->places.everyone;
    everyone_->setChecked(root);
    justMe_->setChecked(!root);
    everyone_->setEnabled(root);
    justMe_->setEnabled(!root);
    v->addWidget(everyone_);
    v->addWidget(justMe_);
    v->addWidget(Static(this, 1352, root ? QStringLiteral("Setup runs as root, so it installs for everyone.")
                                         : QStringLiteral("Installing for everyone needs root: start setup with sudo.")));
    v->addStretch(1);
    connect(browse, &QPushButton::clicked, this, [this] {
      CBrowseStartMenuPrograms dlg(edit_->text(),
                                   {ToUtf8(GetShellFolderPath(kShellFolderPrograms)),
                                    ToUtf8(GetShellFolderPath(kShellFolderCommonPrograms))},
                                   this);
      if (RunDialog(dlg) == QDialog::Accepted) edit_->setText(dlg.group);
    });
  }
  void initializePage() override {
    edit_->setText(wizard_->group.isEmpty() ? QString::fromLatin1(kDefaultGroup) : wizard_->group);
  }
  void cleanupPage() override { wizard_->group = edit_->text(); }
  bool validatePage() override {
    QString g = ToQ(TrimPathEnd(FromQ(edit_->text())));
    while (g.startsWith(u'/')) g.remove(0, 1);
    edit_->setText(g);
    wizard_->group = g;
    if (g.isEmpty() || g.split(u'/').contains(QStringLiteral(".."))) {
      ShowError(u"The specified path is invalid.\n\n%s", FromQ(g));
      edit_->setFocus();
      return false;
    }
    return ValidateTargetFolder(this, wizard_->StartMenuFolder(), edit_) == 0;
  }

 private:
  CSetupWizard* wizard_;
  QLineEdit* edit_;
  QRadioButton* everyone_;
  QRadioButton* justMe_;
};

class SummaryPage : public QWizardPage {
 public:
  SummaryPage(CSetupWizard* wizard) : QWizardPage(wizard), wizard_(wizard) {
    auto* v = BannerLayout(this, QStringLiteral("Ready to Install"),
                           QStringLiteral("Setup is now ready to begin installing Delvora 4.3 on your computer."));
    v->addWidget(Static(this, 1334, QStringLiteral("Click Install to continue with the installation, or click Back "
                                                   "if you want to review or change any settings.")));
    text_ = new CMyROMultiEdit(this, false);
    Name(text_, 1335);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    v->addWidget(text_, 1);
    setButtonText(QWizard::NextButton, QStringLiteral("&Install"));
  }
  InstallInfo Info() const {
    InstallInfo info;
    info.programFolder = ToUtf8(FromQ(wizard_->programFolder));
    info.startMenuFolder = wizard_->StartMenuFolder();
    info.iconsRoot = wizard_->places.iconsRoot;
    info.binFolder = wizard_->places.binFolder;
    info.store = wizard_->places.store;
    info.icons = wizard_->icons;
    info.sourceProgram = wizard_->sourceProgram;
    return info;
  }
  void initializePage() override {
    const InstallInfo info = Info();
    other_ = InstalledLocation();
    if (!other_.empty() && other_ == info.programFolder) other_.clear();
    QString t = QStringLiteral("Destination location:\n   %1\n\nMenu folder:\n   %2\n\n")
                    .arg(wizard_->programFolder, ToQ(FromUtf8(info.startMenuFolder)));
    if (!other_.empty()) {
      t = QStringLiteral("Delvora 4.3 is already installed in\n   %1\n\nUninstall that copy first (its menu entry "
                         "\"Uninstall Delvora 4.3\", or delvora /uninstall), then run Setup again.")
              .arg(ToQ(FromUtf8(other_)));
    } else {
      t += QStringLiteral("Setup will write:\n");
      t += QStringLiteral("   %1\n").arg(ToQ(FromUtf8(info.ProgramFile())));
      t += QStringLiteral("   %1\n").arg(ToQ(FromUtf8(info.EntryFile())));
      t += QStringLiteral("   %1\n").arg(ToQ(FromUtf8(info.UninstallEntryFile())));
      for (const auto& icon : info.icons) t += QStringLiteral("   %1\n").arg(ToQ(FromUtf8(info.IconFile(icon.size))));
      if (!info.LinkFile().empty())
        t += QStringLiteral("   %1 -> %2\n").arg(ToQ(FromUtf8(info.LinkFile())), ToQ(FromUtf8(info.ProgramFile())));
      t += QStringLiteral("   the uninstall entry in %1\n").arg(ToQ(FromUtf8(KeyStore::StoreFile(info.store))));
    }
    text_->setPlainText(t);
    text_->moveCursor(QTextCursor::Start);
    emit completeChanged();
  }
  bool isComplete() const override { return other_.empty(); }
  bool validatePage() override {
    InstallInfo info = Info();
    if (!info.Install()) {
      wizard_->installed = false;
      wizard_->EndCancelled();
      return false;
    }
    wizard_->installed = true;
    wizard_->launchProgram = info.ProgramFile();
    return true;
  }

 private:
  CSetupWizard* wizard_;
  CMyROMultiEdit* text_;
  std::string other_;
};

class FinishPage : public PicturePage {
 public:
  explicit FinishPage(CSetupWizard* wizard)
      : PicturePage(QStringLiteral("Completing the Delvora 4.3 Setup Wizard"), wizard), wizard_(wizard) {
    Body()->addWidget(Static(this, 1338, QStringLiteral("Setup has finished installing Delvora 4.3 on your computer. "
                                                        "Delvora may be started from the System section of the "
                                                        "desktop's menu, or with the command delvora.\n\nClick Finish "
                                                        "to exit Setup.")));
    launch_ = new QCheckBox(QStringLiteral("&Launch Delvora"), this);
    Name(launch_, 1339);
    launch_->setChecked(true);
    Body()->addWidget(launch_);
    Body()->addStretch(1);
    setFinalPage(true);
  }
  bool Launch() const { return launch_->isChecked(); }

 private:
  CSetupWizard* wizard_;
  QCheckBox* launch_;
};

// The union of the folders below both roots, each name once.
void AddFolders(QTreeWidgetItem* parent, const std::string& path, int depth) {
  if (depth > 64) return;
  DIR* d = opendir(path.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    struct stat st;
    if (stat((path + "/" + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) names.push_back(n);
  }
  closedir(d);
  for (const auto& n : names) {
    QTreeWidgetItem* item = nullptr;
    for (int i = 0; i < parent->childCount() && !item; ++i)
      if (parent->child(i)->text(0) == ToQ(FromUtf8(n))) item = parent->child(i);
    if (!item) {
      item = new QTreeWidgetItem(parent, QStringList(ToQ(FromUtf8(n))));
      item->setIcon(0, dvres::Draw(dvres::Image::Folder, 16));
    }
    AddFolders(item, path + "/" + n, depth + 1);
  }
  parent->sortChildren(0, Qt::AscendingOrder);
}

}  // namespace

// ---- run mode ----

CRunModeDlg::CRunModeDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CRunModeDlg"));
  setWindowTitle(QStringLiteral("Delvora 4.3"));
  setWindowIcon(QIcon(dvres::Draw(dvres::Image::AppIcon, 32)));
  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(0, 0, 0, 8);
  v->addWidget(Banner(this, QStringLiteral("Welcome to Delvora"),
                      QStringLiteral("Comprehensive file recovery utility for hard drives, solid state drives, memory "
                                     "cards, RAID and NAS systems.")));
  auto* inner = new QVBoxLayout;
  inner->setContentsMargins(36, 12, 24, 0);
  inner->addWidget(Static(this, 1344, QStringLiteral("Choose how to use Delvora:")));
  QFont bold = font();
  bold.setBold(true);
  install_ = new QRadioButton(QStringLiteral("&Install"), this);
  Name(install_, kInstallId);
  run_ = new QRadioButton(QStringLiteral("&Run"), this);
  Name(run_, kRunId);
  install_->setFont(bold);
  run_->setFont(bold);
  auto* grid = new QGridLayout;
  grid->addWidget(install_, 0, 0, Qt::AlignTop);
  grid->addWidget(Static(this, 1345, MessageOr(489, u"Install Delvora on this computer.")), 0, 1);
  grid->addWidget(run_, 1, 0, Qt::AlignTop);
  grid->addWidget(Static(this, 1346, MessageOr(490, u"Start Delvora without installation.")), 1, 1);
  grid->setColumnStretch(1, 1);
  grid->setHorizontalSpacing(24);
  grid->setVerticalSpacing(14);
  inner->addLayout(grid);
  v->addLayout(inner);
  auto* line = new QFrame(this);
  Name(line, 1351);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  v->addSpacing(12);
  v->addWidget(line);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->setContentsMargins(8, 0, 8, 0);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("ctl1"));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("ctl2"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  v->addWidget(buttons);
  choice = PreselectRun(plat::ExecutablePath()) ? 1 : 0;
  (choice == 1 ? run_ : install_)->setChecked(true);
  resize(int(480 * Scale()), sizeHint().height());
}

void CRunModeDlg::accept() {
  choice = install_->isChecked() ? 0 : 1;
  QDialog::accept();
}

// ---- licence ----

CDlgEula::CDlgEula(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CDlgEula"));
  setWindowTitle(ToQ(WString(kLicenseTitle)));
  auto* v = new QVBoxLayout(this);
  auto* text = new CMyROMultiEdit(this, true);
  Name(text, kTextId);
  text->setPlainText(ToQ(WString(kLicenseText)));
  v->addWidget(text, 1);
  auto* ok = new QPushButton(MessageOr(14, u"OK"), this);
  ok->setObjectName(QStringLiteral("ctl1"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(ok);
  v->addLayout(row);
  resize(int(520 * Scale()), int(420 * Scale()));
}

// ---- menu folder browser ----

CBrowseStartMenuPrograms::CBrowseStartMenuPrograms(const QString& groupText, const std::vector<std::string>& roots,
                                                   QWidget* parent)
    : QDialog(parent), group(groupText) {
  setObjectName(QStringLiteral("CBrowseStartMenuPrograms"));
  setWindowTitle(MessageOr(478, u"Browse for Folder"));
  auto* v = new QVBoxLayout(this);
  v->addWidget(Static(this, 1005, MessageOr(479, u"Select a folder in the list below, then click OK.")));
  edit_ = new QLineEdit(group, this);
  Name(edit_, kEditId);
  v->addWidget(edit_);
  tree_ = new QTreeWidget(this);
  Name(tree_, kTreeId);
  tree_->setHeaderHidden(true);
  v->addWidget(tree_, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  v->addWidget(buttons);
  const int slash = group.lastIndexOf(u'/');
  groupName_ = slash < 0 ? group : group.mid(slash + 1);
  Fill(roots);
  SelectGroup();
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this] { OnSelection(); });
  resize(int(360 * Scale()), int(400 * Scale()));
}

void CBrowseStartMenuPrograms::Fill(const std::vector<std::string>& roots) {
  QString rootName = MessageOr(503, u"Programs");
  for (auto it = roots.rbegin(); it != roots.rend(); ++it) {
    const size_t slash = it->rfind('/');
    if (slash != std::string::npos && slash + 1 < it->size()) {
      rootName = ToQ(FromUtf8(it->substr(slash + 1)));
      break;
    }
  }
  root_ = new QTreeWidgetItem(tree_, QStringList(rootName));
  root_->setIcon(0, dvres::Draw(dvres::Image::Folder, 16));
  for (auto it = roots.rbegin(); it != roots.rend(); ++it) AddFolders(root_, *it, 0);
  root_->setExpanded(true);
}

void CBrowseStartMenuPrograms::SelectGroup() {
  QString t = group;
  while (t.contains(QStringLiteral("//"))) t.replace(QStringLiteral("//"), QStringLiteral("/"));
  if (t.endsWith(u'/')) t.chop(1);
  while (t.startsWith(u'/')) t.remove(0, 1);
  QStringList parts = t.split(u'/');
  parts.removeLast();  // the group's own name
  QTreeWidgetItem* at = root_;
  for (const QString& part : parts) {
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < at->childCount() && !next; ++i)
      if (at->child(i)->text(0) == part) next = at->child(i);
    if (!next) {
      next = new QTreeWidgetItem(at, QStringList(part));
      next->setIcon(0, dvres::Draw(dvres::Image::Folder, 16));
      at->sortChildren(0, Qt::AscendingOrder);
    }
    at->setExpanded(true);
    at = next;
  }
  tree_->setCurrentItem(at);
}

void CBrowseStartMenuPrograms::OnSelection() {
  QString path;
  for (QTreeWidgetItem* i = tree_->currentItem(); i && i != root_; i = i->parent()) path = i->text(0) + u'/' + path;
  group = path + groupName_;
  edit_->setText(group);
}

void CBrowseStartMenuPrograms::accept() {
  group = edit_->text();
  QDialog::accept();
}

// ---- wizard ----

int ValidateTargetFolder(QWidget*, const std::string& folder, QWidget* focus) {
  auto bad = [&] {
    ShowError(u"The specified path is invalid.\n\n%s", FromUtf8(folder));
    if (focus) focus->setFocus();
    return -1;
  };
  if (folder.empty() || folder[0] != '/' || !IsLaunchablePath(folder)) return bad();
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return bad();
    if (Prompt().MessageBox(FormatW(u"The folder\n\n%s\n\nalready exists. Do you want to install in that folder anyway?",
                                    FromUtf8(folder)),
                            kProductName, kMbYesNo | kMbIconQuestion) != kIdYes)
      return -1;
  } else if (errno != ENOENT) {
    return bad();
  }
  if (CheckPath(FromUtf8(folder + "/x"), nullptr, true) < 0) return bad();
  return 0;
}

CSetupWizard::CSetupWizard(QWidget* parent) : QWizard(parent), places(PlacesFor(SetupRunsAsRoot())) {
  setObjectName(QStringLiteral("CSetupWizard"));
  setWindowTitle(QStringLiteral("Delvora 4.3"));
  setWindowIcon(QIcon(dvres::Draw(dvres::Image::AppIcon, 32)));
  setWizardStyle(QWizard::ClassicStyle);
  setOption(QWizard::NoBackButtonOnStartPage, true);
  setOption(QWizard::NoBackButtonOnLastPage, true);
  setOption(QWizard::NoCancelButtonOnLastPage, true);
  setOption(QWizard::HaveHelpButton, false);
  setButtonText(QWizard::NextButton, MessageOr(530, u"&Next >"));
  setButtonText(QWizard::FinishButton, MessageOr(515, u"&Finish"));
  setPage(kWelcome, new WelcomePage(this));
  setPage(kEula, new EulaPage(this));
  setPage(kDestination, new DestinationPage(this));
  setPage(kStartMenu, new StartMenuPage(this));
  setPage(kSummary, new SummaryPage(this));
  setPage(kFinish, new FinishPage(this));
  for (int size : kIconSizes) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    dvres::Draw(dvres::Image::AppIcon, size).toImage().save(&buffer, "PNG");
    icons.push_back(IconImage{size, std::string(png.constData(), size_t(png.size()))});
  }
  resize(int(560 * Scale()), int(400 * Scale()));
}

std::string CSetupWizard::StartMenuFolder() const {
  return places.programsRoot + "/" + ToUtf8(FromQ(group.isEmpty() ? QString::fromLatin1(kDefaultGroup) : group));
}

void CSetupWizard::reject() {
  if (installed) return;  // only Finish is left
  if (Prompt().MessageBox(u"Setup is not complete. If you exit now, the program will not be installed.\n\nDo you want "
                          u"to exit setup?",
                          kProductName, kMbYesNo | kMbIconQuestion) != kIdYes)
    return;
  QWizard::reject();
}

void CSetupWizard::done(int result) {
  if (result == QDialog::Accepted && installed) {
    auto* finish = static_cast<FinishPage*>(page(kFinish));
    if (finish->Launch() && !launchProgram.empty()) {
      // An argument vector, in a session of its own: the copy outlives setup.
      posix_spawnattr_t attr;
      posix_spawnattr_init(&attr);
      posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
      std::string program = launchProgram;
      char* argv[] = {program.data(), nullptr};
      pid_t pid = 0;
      posix_spawn(&pid, program.c_str(), nullptr, &attr, argv, environ);  // a failure is ignored
      posix_spawnattr_destroy(&attr);
    }
  }
  QWizard::done(result);
}

bool HandleStartupSwitches(const std::vector<std::string>& args) {
  switch (DecideStartup(args, plat::ExecutablePath())) {
    case StartupAction::Uninstall: RunUninstall(); return false;
    case StartupAction::Run: return true;
    case StartupAction::AskRunMode: break;
  }
  CRunModeDlg dlg;
  if (RunDialog(dlg) != QDialog::Accepted) return false;
  if (dlg.choice == 1) return true;
  CSetupWizard wizard;
  RunDialog(wizard);
  return false;
}
