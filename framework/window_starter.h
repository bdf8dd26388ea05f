// Starting windows from the main menu.
//
// A window procedure is known by its name (e.g. "Browsegorod") and registered
// with a factory that builds its window in a given context. Starting a
// procedure makes a new window context (window_context.h), builds the window
// in it and shows it as an MDI child; when the child is destroyed its context
// ends. Starting the same procedure again gives another, independent copy.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class QMdiArea;
class QMdiSubWindow;
class QWidget;

namespace kel {

class WindowContext;

using WindowFactory = std::function<QWidget*(WindowContext&)>;

void RegisterWindowProcedure(const std::string& name, WindowFactory factory);
void UnregisterWindowProcedure(const std::string& name);
bool HasWindowProcedure(const std::string& name);

// Starts `procedure` as a child of `area`. Answers the child, or null when
// the procedure has no window (nothing happens), when the context limit is
// reached (the user is told, nothing opens) or when the factory built none.
QMdiSubWindow* StartWindow(QMdiArea* area, const std::string& procedure, uint32_t stack_size);

// The context of the started window that holds `widget`, or null (the frame
// and anything outside a started window).
WindowContext* ContextOfWidget(const QWidget* widget);

}  // namespace kel
