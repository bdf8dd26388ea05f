// The program's start-up and shutdown.
//
// Start-up, in this order: the error reporter with its message table and
// message boxes; the data dictionary (handles only, no table opened); the
// settings file "kelvaro.INI" with its sector list; the drag-full-windows
// flag, remembered and switched off when on; then Main, the frame, until it
// closes. Shutdown reverses it: the drag flag is switched on again if it was
// on, the settings file written, the dictionary and the error reporter
// released. A fatal message ends the process at once, skipping all of this.
#pragma once

#include <QString>
#include <string>
#include <vector>

class QApplication;

namespace kel {

class MainFrame;

struct ProgramOptions {
  // Debug switch "--screenshot=<file.png>": saves a picture of the frame once
  // it is shown, then closes it.
  QString screenshot;
  // Closes the frame as soon as its event loop runs (used by tests).
  bool close_at_once = false;
};

ProgramOptions ParseOptions(const QStringList& arguments);

// Runs the whole program; answers the exit code. `trail`, when given,
// receives the start-up and shutdown steps in the order they ran.
int RunProgram(QApplication& app, const ProgramOptions& options,
               std::vector<std::string>* trail = nullptr);

// The frame procedure: builds the frame, runs its event loop until it closes.
void Main(QApplication& app, const ProgramOptions& options);

}  // namespace kel
