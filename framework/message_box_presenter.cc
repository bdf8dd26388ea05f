#include "framework/message_box_presenter.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

namespace kel {

QMessageBox* BuildMessageBox(const Message& message, QWidget* parent) {
  auto* box = new QMessageBox(parent);
  box->setWindowTitle(QString::fromStdString(message.title));
  box->setText(QString::fromStdString(message.text));
  box->setTextFormat(Qt::PlainText);
  QMessageBox::StandardButton fallback = QMessageBox::Ok;
  switch (message.kind) {
    case MessageKind::kNotice:
      box->setIcon(QMessageBox::Information);
      box->setStandardButtons(QMessageBox::Ok);
      break;
    case MessageKind::kFatal:
      box->setIcon(QMessageBox::Critical);
      box->setStandardButtons(QMessageBox::Ok);
      break;
    case MessageKind::kYesNo:
      box->setIcon(QMessageBox::Question);
      box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      fallback = QMessageBox::Yes;
      break;
    case MessageKind::kYesNoCancel:
      box->setIcon(QMessageBox::Question);
      box->setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      fallback = QMessageBox::Cancel;
      break;
  }
  QMessageBox::StandardButton def = fallback;
  switch (message.default_answer) {
    case Answer::kYes: def = QMessageBox::Yes; break;
    case Answer::kNo: def = QMessageBox::No; break;
    case Answer::kCancel: def = QMessageBox::Cancel; break;
    case Answer::kOk: break;
  }
  if (box->button(def)) box->setDefaultButton(def);
  return box;
}

Answer MessageBoxPresenter::Present(const Message& message) {
  QPointer<QMessageBox> box = BuildMessageBox(message, QApplication::activeWindow());
  int result = box->exec();
  delete box.data();
  switch (result) {
    case QMessageBox::Yes: return Answer::kYes;
    case QMessageBox::No: return Answer::kNo;
    case QMessageBox::Cancel: return Answer::kCancel;
    default: break;
  }
  // Closed by the window's close box: a question counts as its escape button.
  if (message.kind == MessageKind::kYesNo) return Answer::kNo;
  if (message.kind == MessageKind::kYesNoCancel) return Answer::kCancel;
  return Answer::kOk;
}

}  // namespace kel
