#include "ui/PropertyDlg.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTableWidget>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "resources/Skins.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/WindowHelp.h"

namespace {

double Scale() { return g_appState ? g_appState->displayScale : 1.0; }
bool TraceMessagesOn() { return g_trace && !theTrace().TraceFilePath().empty(); }

QFont MessageFont() {
  QFont f;
  f.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
  f.setPointSize(10);
  return f;
}

}  // namespace

CPropertyDlg::CPropertyDlg(PropertyRecordSource source, QWidget* parent) : QDialog(parent), source_(std::move(source)) {
  setObjectName(QStringLiteral("CPropertyDlg"));
  setSizeGripEnabled(true);
  table_ = new QTableWidget(7, 2, this);
  table_->setObjectName(QStringLiteral("ctl%1").arg(kList));
  table_->verticalHeader()->hide();
  table_->setShowGrid(true);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->horizontalHeader()->setStretchLastSection(false);
  table_->setContextMenuPolicy(Qt::CustomContextMenu);
  for (int r = 0; r < 7; r++)
    for (int c = 0; c < 2; c++) table_->setItem(r, c, new QTableWidgetItem);
  connect(table_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pt) {
    const QModelIndex index = table_->indexAt(pt);
    if (!index.isValid() || !OffersCopy(index.row(), index.column())) return;
    table_->selectRow(index.row());
    QMenu menu(this);
    const WString copy = Msg(133).empty() ? WString(u"&Copy") : Msg(133);
    QAction* a = menu.addAction(ToQ(copy));
    const int row = index.row();
    connect(a, &QAction::triggered, this, [this, row] { OnCopy(row); });
    menu.exec(table_->viewport()->mapToGlobal(pt));
  });
  ok_ = new QPushButton(ToQ(Msg(14)), this);
  ok_->setObjectName(QStringLiteral("ctl2"));
  ok_->setDefault(true);
  prev_ = new QPushButton(QStringLiteral("&<<"), this);
  prev_->setObjectName(QStringLiteral("ctl%1").arg(kPrevious));
  next_ = new QPushButton(QStringLiteral("&>>"), this);
  next_->setObjectName(QStringLiteral("ctl%1").arg(kNext));
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(prev_, &QPushButton::clicked, this, [this] { OnPrevious(); });
  connect(next_, &QPushButton::clicked, this, [this] { OnNext(); });
  table_->installEventFilter(this);
}

void CPropertyDlg::SetPosition(int position, int last, bool fromTree) {
  position_ = position;
  last_ = last;
  fromTree_ = fromTree;
}

int CPropertyDlg::LabelWidth(bool volume) const {
  // Measured once per run in the dialog's font.
  static int fileWidth = -1, volumeWidth = -1;
  int& cached = volume ? volumeWidth : fileWidth;
  if (cached < 0) {
    const QFontMetrics fm(table_->font());
    int w = 0;
    if (volume) {
      for (int m : kVolumeLabelMessages) w = std::max(w, fm.horizontalAdvance(ToQ(StripAccelerator(Msg(m)))));
    } else {
      for (int m : kPropertyLabelMessages) w = std::max(w, fm.horizontalAdvance(ToQ(StripAccelerator(Msg(m)))));
    }
    cached = w + 8 + 8;  // the cell's own margins take the second 8
  }
  return cached;
}

void CPropertyDlg::Init() {
  const double s = Scale();
  u_ = int(8 * s);
  buttonH_ = std::max(int(23 * s), ok_->sizeHint().height());
  // The table area is 160 units high, or what its header and seven rows
  // take in this style and font when that is more: no row hides behind a
  // scroll bar.
  int rowsH = table_->horizontalHeader()->sizeHint().height() + 2 * table_->frameWidth();
  for (int r = 0; r < 7; r++) rowsH += table_->verticalHeader()->sectionSize(r);
  baseClient_ = QSize(int(380 * s) + 2 * u_, 3 * u_ + buttonH_ + std::max(int(160 * s), rowsH));
  minTrack_ = baseClient_;
  setWindowTitle(ToQ(StripAccelerator(Msg(271))));
  table_->setHorizontalHeaderLabels({ToQ(StripAccelerator(Msg(271))), ToQ(Msg(272))});
  const int w = LabelWidth(false);
  table_->setColumnWidth(0, w);
  table_->setColumnWidth(1, int(380 * s) - int(10 * s) - w);
  const int labels[7] = {45, 39, 68, 93, 273, 0, 275};
  for (int r = 0; r < 7; r++) table_->item(r, 0)->setText(labels[r] ? ToQ(Msg(labels[r])) : QString());
  resize(baseClient_);
  LoadItem();
}

void CPropertyDlg::LoadItem() {
  PropertyRecord rec;
  if (!source_ || !source_(position_, fromTree_, rec)) return;
  record_ = std::move(rec);
  if (record_.flags & PropertyRecord::kVolume) record_.displayMode = 2;
  if (record_.displayMode != 2 && (record_.flags & PropertyRecord::kPicture)) {
    requested_ = true;
    preview_ = DecodePreview(record_.picture.data(), record_.picture.size(), Scale());
  } else {
    requested_ = false;
    drawn_ = false;
    preview_ = DecodedPreview{};
  }
  Fill();
  prev_->setEnabled(position_ > 0);
  next_->setEnabled(position_ < last_);
  // The bytes are not needed once decoded.
  record_.picture.clear();
  record_.picture.shrink_to_fit();
}

void CPropertyDlg::OnPrevious() {
  if (position_ <= 0) return;
  position_--;
  firstLoad_ = false;
  LoadItem();
}

void CPropertyDlg::OnNext() {
  if (position_ >= last_) return;
  position_++;
  firstLoad_ = false;
  LoadItem();
}

void CPropertyDlg::Fill() {
  setWindowIcon(QIcon(dvres::MenuImage(requested_ ? 4 : 3)));
  setWindowTitle(ToQ(StripAccelerator(Msg(requested_ ? 458 : 271))));
  minTrack_ = baseClient_;
  drawn_ = false;
  const int clientH = baseClient_.height();
  box_ = PreviewBox{0, clientH - 2 * u_, 0, 0};
  const bool volume = record_.displayMode == 2;
  if (!volume && requested_) {
    if (preview_.ok) {
      box_ = PreviewBoxFor(preview_.dims, clientH, u_);
      minTrack_.setWidth(baseClient_.width() + u_ + box_.width);
      minTrack_.setHeight(std::max(baseClient_.height(), box_.height + 2 * u_));
      drawn_ = true;
    } else {
      box_ = PreviewBox{160, clientH - 2 * u_, 0, 0};
      minTrack_.setWidth(baseClient_.width() + 160);
    }
  }
  const PropertyRows rows = FillPropertyRows(record_, TraceMessagesOn());
  if (volume != showedVolume_) {
    const int w = LabelWidth(volume);
    table_->setColumnWidth(0, w);
  }
  showedVolume_ = volume;
  for (int r = 0; r < 7; r++) {
    table_->item(r, 0)->setText(ToQ(rows[size_t(r)].label));
    table_->item(r, 1)->setText(ToQ(rows[size_t(r)].value));
  }
  const QSize old = size();
  const QPoint oldPos = pos();
  setMinimumSize(minTrack_);
  resize(minTrack_);
  // Later rows keep the << button where it was on the screen.
  if (!firstLoad_ && isVisible()) move(oldPos + QPoint(0, old.height() - height()));
  LayOutControls();
  // A row scrolled out of sight on the last item would stay hidden on this one.
  table_->scrollToTop();
  update();
}

void CPropertyDlg::LayOutControls() {
  const double s = Scale();
  const int extra = drawn_ ? u_ : 0;
  const int listX = box_.width + u_ + extra;
  const int listW = width() - box_.width - 2 * u_ - extra;
  const int listH = height() - 3 * u_ - buttonH_;
  table_->setGeometry(listX, u_, std::max(0, listW), std::max(0, listH));
  const int col1 = listW - int(10 * s) - table_->columnWidth(0);
  table_->setColumnWidth(1, std::max(20, col1));
  const int bw = std::max(ok_->sizeHint().width(), int(75 * s));
  const int y = height() - u_ - buttonH_;
  ok_->setGeometry(width() - u_ - bw, y, bw, buttonH_);
  const int nw = std::max(prev_->sizeHint().width(), int(40 * s));
  prev_->setGeometry(listX, y, nw, buttonH_);
  next_->setGeometry(listX + nw + u_, y, nw, buttonH_);
}

void CPropertyDlg::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  LayOutControls();
  update();
}

void CPropertyDlg::paintEvent(QPaintEvent*) {
  if (!requested_) return;
  QPainter p(this);
  const double s = Scale();
  if (drawn_) {
    const QRect box(u_, u_, box_.width, box_.height);
    p.fillRect(box, Qt::white);
    p.drawImage(QPoint(u_ + box_.offsetX, u_ + box_.offsetY), preview_.image);
    return;
  }
  p.setFont(MessageFont());
  p.setPen(palette().color(QPalette::WindowText));
  const int x0 = int(5 * s), y0 = int(5 * s) + int(70 * s);
  const QRect r(QPoint(x0, y0), QPoint(int(5 * s) + box_.width, int(5 * s) + box_.height));
  p.drawText(r, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, ToQ(Msg(457)));
}

bool CPropertyDlg::OffersCopy(int row, int column) const {
  if (column != 1 || row < 0 || row >= 7) return false;
  return !table_->item(row, 1)->text().isEmpty();
}

void CPropertyDlg::OnCopy(int row) {
  if (row < 0 || row >= 7) return;
  QApplication::clipboard()->setText(table_->item(row, 1)->text());
}

void CPropertyDlg::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_F1) {
    RequestHelpTopic(u"html\\afxc57sj.htm");
    return;
  }
  QDialog::keyPressEvent(e);
}

bool CPropertyDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == table_ && event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_F1) {
    RequestHelpTopic(u"html\\afxc57sj.htm");
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void ShowPropertiesDialog(PropertyRecordSource source, int position, int last, bool fromTree, QWidget* parent) {
  CPropertyDlg dlg(std::move(source), parent);
  dlg.SetPosition(position, last, fromTree);
  dlg.Init();
  RunDialog(dlg);
}
