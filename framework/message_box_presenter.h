// Shows the error reporter's messages as modal message boxes.
#pragma once

#include "framework/core/error_reporter.h"

class QMessageBox;
class QWidget;

namespace kel {

class MessageBoxPresenter : public MessagePresenter {
 public:
  Answer Present(const Message& message) override;
};

// The message box for a message, built but not shown (the presenter runs it;
// tests inspect it).
QMessageBox* BuildMessageBox(const Message& message, QWidget* parent = nullptr);

}  // namespace kel
