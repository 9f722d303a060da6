#include "ui/DelvoraApp.h"

#include "app/Startup.h"
#include "ui/SplashWnd.h"

#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Messages.h"
#include "foundation/UiServices.h"
#include "platform/Platform.h"
#include "resources/Icons.h"
#include "setup/HelpFile.h"
#include "setup/Install.h"
#include "ui/DiskImageDialogs.h"
#include "ui/HelpWindow.h"
#include "ui/PromptDialogs.h"
#include "ui/SetupWizard.h"
#include "ui/MainFrame.h"
#include "ui/QtPrompt.h"
#include "ui/WindowHelp.h"
#include "ui/core/AppRules.h"

int g_gdiPlusAvailable = 0;

namespace {

int QtScreenDpi() {
  if (!qApp) return -1;
  QScreen* s = QGuiApplication::primaryScreen();
  return s ? int(s->logicalDotsPerInch() + 0.5) : -1;
}

int RealRawDeviceCheck() { return plat::CanOpenRawDevices() ? 1 : 0; }

}  // namespace

CDelvoraApp::CDelvoraApp() = default;

CDelvoraApp::~CDelvoraApp() { ExitInstance(); }

bool CDelvoraApp::InitInstance(const StartupOptions& options) {
  // 1-2: messages, then the settings object, loaded at once (the screen's
  // DPI decides the display scale).
  SetScreenDpiQuery(&QtScreenDpi);
  // Every subsystem's place in the start-up list and every registration.
  InstallSubsystems();
  if (!GlobalObjectsBuilt()) {
    BuildGlobalObjects();
    globalsBuilt_ = true;
  }
  prompt_ = std::make_unique<QtPrompt>();
  SetPromptService(prompt_.get());
  InstallDiskImageDialog();
  StartApplication(options.optionsPath);
  // 3: the NT 4 refusal (never on this platform's fixed identity).
  if (g_appState->platformId == 2 && g_appState->majorVersion == 4) {
    Prompt().MessageBox(Msg(486), kProductName, kMbIconError);
    return false;
  }
  // 4-5: help file beside the program, then the help-file object.
  helpPath_ = HelpPathWithChm(FromUtf8(plat::ExecutablePath() + ".hlp"));
  if (!g_helpFile) g_helpFile = new HelpFile();
  // 6: the start-up switches and, for a copy that is not installed, the
  // install-or-run choice; the help window's seams first (the setup
  // windows take F1 too).
  InstallHelpWindows(nullptr);
  if (options.startupSwitches && !HandleStartupSwitches(options.args)) return false;
  // An installed copy names its menu entry, so shells show its icon.
  if (IsInstalledCopy(plat::ExecutablePath())) QGuiApplication::setDesktopFileName(QString::fromStdString(InstalledEntryId()));
  // 7: the theme needs nothing; the splash is enabled.
  CSplashWnd::EnableSplash(options.splash);
  // 8: the administrator test becomes "can the disks be read"; it warns.
  const int canRead = (options.canOpenRawDevices ? options.canOpenRawDevices : RealRawDeviceCheck)();
  // 9: pictures are decoded by QImage.
  g_gdiPlusAvailable = 1;
  // 10: the main frame with its view.
  frame_ = std::make_unique<CMainFrame>();
  prompt_->SetOwner(frame_.get());
  if (!frame_->Create()) return false;
  InstallHelpWindows(frame_.get());
  // 11: width from the language and the display scale, height kept, centred.
  const int width = MainWindowWidth(g_appState->language, g_appState->displayScale);
  frame_->resize(width, frame_->height());
  frame_->CenterWindow();
  // 12: the title.
  frame_->setWindowTitle(ToQ(MainWindowTitle()));
  if (options.show) {
    frame_->show();
    CSplashWnd::ShowSplash(frame_.get());
  }
  if (!canRead && options.rawDeviceWarning)
    Prompt().MessageBox(RawDeviceWarningText(), kProductName, kMbOk | kMbIconWarning);
  return true;
}

int CDelvoraApp::ExitInstance() {
  if (frame_) {
    frame_->ShutDown();
    frame_.reset();
  }
  delete g_helpFile;
  g_helpFile = nullptr;
  SetPromptService(nullptr);
  prompt_.reset();
  if (globalsBuilt_) {
    EndApplication();
    DestroyGlobalObjects();
    globalsBuilt_ = false;
  }
  return 0;
}

void CDelvoraApp::OnAppAbout() {
  CAboutDlg dlg(frame_.get());
  dlg.exec();
}

// ---- about box ----

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CAboutDlg"));
  const WString& caption = Msg(308);
  setWindowTitle(caption.empty() ? QStringLiteral("About Delvora") : ToQ(StripAccelerator(caption)));
  auto* icon = new QLabel(this);
  icon->setPixmap(dvres::Draw(dvres::Image::AppIcon, 32, devicePixelRatioF()));
  // The running image's own date: its path names nothing once a rebuild has
  // replaced the file, the link of the process still reaches the image.
  WString date = ExecutableDateText("/proc/self/exe");
  if (date.empty()) date = ExecutableDateText(plat::ExecutablePath());
  version_ = new QLabel(ToQ(AboutVersionText(date)), this);
  version_->setObjectName(QStringLiteral("ctl%1").arg(kVersionId));
  auto* line = new QFrame(this);
  line->setObjectName(QStringLiteral("ctl%1").arg(kSeparatorId));
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  const WString& notice = Msg(102);
  notice_ = new QLabel(ToQ(notice.empty() ? AboutNoticeText() : notice), this);
  notice_->setObjectName(QStringLiteral("ctl%1").arg(kNoticeId));
  notice_->setWordWrap(true);
  auto* license = new QPushButton(QStringLiteral("&Show License Agreement"), this);
  license->setObjectName(QStringLiteral("ctl%1").arg(kLicenseId));
  connect(license, &QPushButton::clicked, this, [this] {
    CDlgEula eula(this);
    RunDialog(eula);
  });
  auto* ok = new QPushButton(MessageOr(14, u"OK"), this);
  ok->setObjectName(QStringLiteral("ctl1"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addWidget(version_, 1);
  top->addWidget(ok, 0, Qt::AlignTop);
  auto* v = new QVBoxLayout(this);
  v->addLayout(top);
  v->addWidget(line);
  v->addWidget(notice_);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(license);
  v->addLayout(bottom);
}

QString CAboutDlg::VersionText() const { return version_->text(); }
QString CAboutDlg::NoticeText() const { return notice_->text(); }

bool CAboutDlg::event(QEvent* e) {
  if (e->type() == QEvent::WhatsThis || (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_F1)) {
    RequestHelpTopic(u"html\\afxc3ol4.htm");
    return true;
  }
  return QDialog::event(e);
}
