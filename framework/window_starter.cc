#include "framework/window_starter.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QVariant>
#include <map>

#include "framework/core/window_context.h"

namespace kel {
namespace {

constexpr const char* kContextProperty = "kelWindowContext";

std::map<std::string, WindowFactory>& Procedures() {
  static std::map<std::string, WindowFactory> procedures;
  return procedures;
}

}  // namespace

void RegisterWindowProcedure(const std::string& name, WindowFactory factory) {
  Procedures()[name] = std::move(factory);
}

void UnregisterWindowProcedure(const std::string& name) { Procedures().erase(name); }

bool HasWindowProcedure(const std::string& name) { return Procedures().count(name) != 0; }

QMdiSubWindow* StartWindow(QMdiArea* area, const std::string& procedure, uint32_t stack_size) {
  auto found = Procedures().find(procedure);
  if (found == Procedures().end()) return nullptr;
  WindowContexts& contexts = WindowContexts::Instance();
  WindowContext* context = contexts.Start(procedure, stack_size);
  if (!context) return nullptr;
  QWidget* widget = nullptr;
  {
    WindowContexts::Scope scope(*context);
    widget = found->second(*context);
  }
  if (!widget) {
    contexts.End(context);
    return nullptr;
  }
  QMdiSubWindow* child = area->addSubWindow(widget);
  child->setAttribute(Qt::WA_DeleteOnClose);
  child->setProperty(kContextProperty, QVariant::fromValue<void*>(context));
  QObject::connect(child, &QObject::destroyed, [context] { WindowContexts::Instance().End(context); });
  child->show();
  return child;
}

WindowContext* ContextOfWidget(const QWidget* widget) {
  for (const QWidget* w = widget; w; w = w->parentWidget()) {
    QVariant v = w->property(kContextProperty);
    if (v.isValid()) return static_cast<WindowContext*>(v.value<void*>());
  }
  return nullptr;
}

}  // namespace kel
