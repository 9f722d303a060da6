// What the option, volume and source dialogs share: controls found by
// their ids, texts set from the message table by id, F1 opening the
// dialog's help topic, a refused button press shown as a message box with
// the focus going back to its field, and the validator that refuses a
// keystroke the controller cannot read.
#pragma once
#include <QDialog>
#include <QValidator>
#include <functional>
#include <map>

#include "foundation/Messages.h"
#include "platform/Text.h"
#include "ui/core/DialogRules.h"

class CDvDialog : public QDialog, public DialogTextTarget {
  Q_OBJECT
 public:
  CDvDialog(QWidget* parent, const char* objectName, WStringView helpTopic);

  // ---- DialogTextTarget ----
  void SetCaption(WStringView text) override;
  bool SetControlText(int controlId, WStringView text) override;

  // The control of an id (null when the dialog has none).
  QWidget* Control(int id) const;
  template <class T>
  T* Ctl(int id) const {
    return qobject_cast<T*>(Control(id));
  }
  // Shows a refusal (stop icon; the product name as caption unless one is
  // given) and puts the focus on its field.
  void ShowVerdict(const DialogVerdict& verdict, WStringView caption = {});
  const WString& HelpTopic() const { return helpTopic_; }

 protected:
  // Names the control "ctl<id>" and keeps it under its id.
  template <class T>
  T* Reg(T* widget, int id) {
    widget->setObjectName(QStringLiteral("ctl%1").arg(id));
    controls_[id] = widget;
    return widget;
  }
  // Sets the texts of the (message, control) pairs; the first names the
  // caption.
  void ApplyTexts(std::initializer_list<std::pair<int, int>> pairs);
  void keyPressEvent(QKeyEvent* event) override;
  // A label shows its access-key mark only with a buddy: the others lose
  // the "&" (and "&&" becomes "&").
  void showEvent(QShowEvent* event) override;

 private:
  std::map<int, QWidget*> controls_;
  WString helpTopic_;
};

// Accepts a text when the controller's test does: refusing a keystroke puts
// the text back as it was before it.
class AcceptValidator : public QValidator {
 public:
  AcceptValidator(std::function<bool(WStringView)> accept, QObject* parent)
      : QValidator(parent), accept_(std::move(accept)) {}
  State validate(QString& input, int& position) const override;

 private:
  std::function<bool(WStringView)> accept_;
};

// The three buttons' standard texts.
QString OkText();
QString CancelText();
