// The prompt service of the windowed program: a QMessageBox owned by the
// main window. A call from a worker thread is carried to the user-interface
// thread and blocks until the user has answered; on the user-interface
// thread the box is shown directly.
#pragma once
#include <QObject>
#include <QPointer>
#include <QWidget>

#include "foundation/UiServices.h"

class QMessageBox;

class QtPrompt : public QObject, public PromptService {
  Q_OBJECT
 public:
  explicit QtPrompt(QObject* parent = nullptr);
  // The window boxes are centred on (may be null: then they have no owner).
  void SetOwner(QWidget* owner) { owner_ = owner; }
  int MessageBox(WStringView text, WStringView caption, unsigned style) override;

  // Builds the box a call would show (for tests and for the call itself).
  static QMessageBox* MakeBox(QWidget* owner, const QString& text, const QString& caption, unsigned style);
  // The result value of a pressed standard button.
  static int ResultOf(int standardButton);

 private:
  int ShowOnGuiThread(const QString& text, const QString& caption, unsigned style);
  QPointer<QWidget> owner_;
};

// Installs the prompt service for the life of the object.
class ScopedPromptService {
 public:
  explicit ScopedPromptService(PromptService* service) { SetPromptService(service); }
  ~ScopedPromptService() { SetPromptService(nullptr); }
};

QString ToQ(WStringView text);
// The message, else the window's own text.
QString MessageOr(int message, const char16_t* own);
WString FromQ(const QString& text);
