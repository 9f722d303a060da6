#include "ui/Viewing.h"

#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStandardItemModel>

#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "resources/Icons.h"
#include "ui/ListHeader.h"
#include "ui/QtPrompt.h"
#include "ui/core/ControlLook.h"

namespace {

double Scale() { return g_appState ? g_appState->displayScale : 1.0; }
int Language() { return g_appState ? g_appState->language : 0; }

const char16_t kTip1Text[] =
    u"To display files in a Windows Explorer-like folder format, click on the Tree View button on the toolbar.";
const char16_t kTip2Text[] =
    u"To arrange file items by a certain column, click on the column heading. To display only certain files, click "
    u"on the Filter icon on the right of the column heading.";

QString TextOr(int message, const char16_t* own) {
  return Msg(message).empty() ? QString::fromUtf16(own) : ToQ(Msg(message));
}

}  // namespace

CViewing::CViewing(QWidget* view, QWidget* list, QWidget* parent) : QDialog(parent), view_(view), list_(list) {
  setObjectName(QStringLiteral("CViewing"));
  setWindowTitle(TextOr(341, u"Viewing Tips"));
  tip1_ = new QLabel(TextOr(235, kTip1Text), this);
  tip2_ = new QLabel(TextOr(253, kTip2Text), this);
  for (QLabel* t : {tip1_, tip2_}) t->setWordWrap(true);
  tip1_->setObjectName(QStringLiteral("ctl%1").arg(kTip1));
  tip2_->setObjectName(QStringLiteral("ctl%1").arg(kTip2));
  line_ = new QFrame(this);
  line_->setFrameShape(QFrame::HLine);
  line_->setFrameShadow(QFrame::Sunken);
  line_->setObjectName(QStringLiteral("ctl%1").arg(kLine));
  elapsed_ = new QLabel(ToQ(ElapsedText()), this);
  elapsed_->setObjectName(QStringLiteral("ctl%1").arg(kElapsed));
  ok_ = new QPushButton(ToQ(Msg(14)), this);
  ok_->setObjectName(QStringLiteral("ctl1"));
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  // The file list's own header, in its illustration mode.
  header_ = new CMBLstHdrCtrl(this);
  header_->setObjectName(QStringLiteral("ctl%1").arg(kHeader));
  auto* model = new QStandardItemModel(0, 7, header_);
  for (int c = 0; c < 7; c++) model->setHeaderData(c, Qt::Horizontal, ToQ(Msg(kViewingHeaderMessages[c])));
  header_->setModel(model);
  header_->setSectionResizeMode(QHeaderView::Fixed);
  const std::array<int, 7> widths = ViewingHeaderWidths(Language(), Scale());
  for (int c = 0; c < 7; c++) header_->resizeSection(c, widths[size_t(c)]);
  header_->SetIllustration(true);
  header_->SetMouseDisabled(true);
  header_->LoadFilterIcons();
  header_->setFont(font());
  resize(int(460 * Scale()), 120);
  LayOut();
}

void CViewing::LayOut() {
  const int cw = width() - 40;
  const QFontMetrics fm(font());
  const ViewingLayout l = LayOutViewingTips(fm.height(), fm.horizontalAdvance(tip1_->text()), fm.height(),
                                            fm.horizontalAdvance(tip2_->text()), cw, Scale());
  tip1_->setGeometry(20, l.tip1Y, cw, l.tip1H);
  imagePos_ = QPoint(20, l.image1Y);
  tip2_->setGeometry(20, l.tip2Y, cw, l.tip2H);
  header_->setGeometry(20, l.headerY, cw, l.headerH);
  line_->setGeometry(20, l.lineY, cw, 2);
  const int okH = ok_->sizeHint().height();
  const int okW = std::max(ok_->sizeHint().width(), int(75 * Scale()));
  const int rowY = l.lineY + 12;
  elapsed_->setGeometry(20, rowY, cw - okW - 10, okH);
  ok_->setGeometry(width() - 20 - okW, rowY, okW, okH);
  const int need = rowY + okH + 10;
  if (height() < need) resize(width(), need + 6);
  // Centred over the view, its top below the list's top edge.
  if (view_ && list_) {
    const QPoint viewTopLeft = view_->mapToGlobal(QPoint(0, 0));
    const int x = viewTopLeft.x() + (view_->width() - frameGeometry().width()) / 2;
    const int y = list_->mapToGlobal(QPoint(0, 0)).y() + int(30 * Scale());
    requested_ = QPoint(x, y);
    move(requested_);
  }
}

void CViewing::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(imagePos_.x(), imagePos_.y() + 1, dvres::Draw(dvres::Image::TreeView, 24));
  QFont f;
  f.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
  f.setPointSize(10);
  p.setFont(f);
  const WString label = Msg(262).empty() ? StripAccelerator(Msg(261)) : Msg(262);
  const int x = imagePos_.x() + int(28 * Scale());
  p.drawText(QRect(x, imagePos_.y() - 3, width() - x - 20, 32), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
             ToQ(label));
}

void CViewing::keyPressEvent(QKeyEvent* e) {
  // No help of its own.
  if (e->key() == Qt::Key_F1) return;
  QDialog::keyPressEvent(e);
}
