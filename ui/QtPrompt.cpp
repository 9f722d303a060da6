#include "ui/QtPrompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "foundation/Messages.h"

QString ToQ(WStringView text) { return QString::fromUtf16(text.data(), qsizetype(text.size())); }

QString MessageOr(int message, const char16_t* own) { return ToQ(Msg(message).empty() ? WString(own) : Msg(message)); }

WString FromQ(const QString& text) {
  return WString(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size()));
}

QtPrompt::QtPrompt(QObject* parent) : QObject(parent) {}

QMessageBox* QtPrompt::MakeBox(QWidget* owner, const QString& text, const QString& caption, unsigned style) {
  auto* box = new QMessageBox(owner);
  box->setWindowTitle(caption.trimmed());  // "Delvora  " reads as the name
  box->setText(text);
  switch (style & 0xF0) {
    case kMbIconError: box->setIcon(QMessageBox::Critical); break;
    case kMbIconQuestion: box->setIcon(QMessageBox::Question); break;
    case kMbIconWarning: box->setIcon(QMessageBox::Warning); break;
    case kMbIconInformation: box->setIcon(QMessageBox::Information); break;
    default: break;
  }
  switch (style & kMbButtonsMask) {
    case kMbOkCancel:
      box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      break;
    case kMbYesNoCancel:
      box->setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
    case kMbYesNo:
      box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    case kMbRetryCancel:
      box->setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
      break;
    default:
      box->setStandardButtons(QMessageBox::Ok);
      break;
  }
  return box;
}

int QtPrompt::ResultOf(int button) {
  switch (button) {
    case QMessageBox::Yes: return kIdYes;
    case QMessageBox::No: return kIdNo;
    case QMessageBox::Cancel: return kIdCancel;
    case QMessageBox::Retry: return kIdRetry;
    default: return kIdOk;
  }
}

int QtPrompt::ShowOnGuiThread(const QString& text, const QString& caption, unsigned style) {
  QMessageBox* box = MakeBox(owner_.data(), text, caption, style);
  const int button = box->exec();
  delete box;
  return ResultOf(button);
}

int QtPrompt::MessageBox(WStringView text, WStringView caption, unsigned style) {
  const QString t = ToQ(text), c = ToQ(caption);
  if (QThread::currentThread() == thread()) return ShowOnGuiThread(t, c, style);
  // A worker waits for the answer.
  int result = kIdCancel;
  QMetaObject::invokeMethod(
      this, [&] { result = ShowOnGuiThread(t, c, style); }, Qt::BlockingQueuedConnection);
  return result;
}
