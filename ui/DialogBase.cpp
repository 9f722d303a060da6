#include "ui/DialogBase.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include "foundation/UiServices.h"
#include "ui/QtPrompt.h"
#include "ui/WindowHelp.h"

CDvDialog::CDvDialog(QWidget* parent, const char* objectName, WStringView helpTopic)
    : QDialog(parent), helpTopic_(helpTopic) {
  setObjectName(QString::fromLatin1(objectName));
}

void CDvDialog::SetCaption(WStringView text) { setWindowTitle(ToQ(StripAccelerator(text))); }

bool CDvDialog::SetControlText(int controlId, WStringView text) {
  QWidget* w = Control(controlId);
  if (!w) return false;
  const QString t = ToQ(text);
  if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    b->setText(t);
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    l->setText(t);
  } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
    g->setTitle(t);
  } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
    e->setText(t);
  } else {
    return false;
  }
  return true;
}

QWidget* CDvDialog::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void CDvDialog::ApplyTexts(std::initializer_list<std::pair<int, int>> pairs) {
  std::vector<int> messages, controls;
  for (const auto& p : pairs) {
    messages.push_back(p.first);
    controls.push_back(p.second);
  }
  SetDialogTexts(messages.data(), controls.data(), int(messages.size()), *this);
}

void CDvDialog::ShowVerdict(const DialogVerdict& verdict, WStringView caption) {
  const WString text = verdict.MessageText();
  if (!text.empty()) {
    if (caption.empty())
      ShowMessage(kMbIconError, u"%s", text);
    else
      Prompt().MessageBox(text, caption, kMbIconError);
  }
  if (QWidget* w = Control(verdict.focus)) {
    w->setFocus();
    if (auto* e = qobject_cast<QLineEdit*>(w)) e->selectAll();
  }
}

void CDvDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    RequestHelpTopic(helpTopic_);
    return;
  }
  QDialog::keyPressEvent(event);
}

QValidator::State AcceptValidator::validate(QString& input, int&) const {
  return accept_ && accept_(FromQ(input)) ? Acceptable : Invalid;
}

QString OkText() { return MessageOr(14, u"OK"); }
QString CancelText() { return MessageOr(4, u"Cancel"); }

void CDvDialog::showEvent(QShowEvent* event) {
  for (QLabel* l : findChildren<QLabel*>()) {
    if (l->buddy() || !l->text().contains(QLatin1Char('&'))) continue;
    QString t = l->text();
    QString out;
    for (int i = 0; i < t.size(); i++) {
      if (t[i] == QLatin1Char('&') && i + 1 < t.size()) i++;
      out += t[i];
    }
    l->setText(out);
  }
  QDialog::showEvent(event);
}
