#include "app/main/startup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QTranslator>
#include <cstdio>

#include "app/dictionary/handles.h"
#include "app/main/main_frame.h"
#include "app/main/settings_file.h"
#include "framework/core/error_reporter.h"
#include "framework/core/window_context.h"
#include "framework/message_box_presenter.h"
#include "platform/drag_setting.h"

namespace kel {
namespace {

void Note(std::vector<std::string>* trail, const char* step) {
  if (trail) trail->emplace_back(step);
}

}  // namespace

ProgramOptions ParseOptions(const QStringList& arguments) {
  ProgramOptions options;
  for (const QString& a : arguments) {
    if (a.startsWith(QStringLiteral("--screenshot="))) options.screenshot = a.mid(13);
  }
  return options;
}

void Main(QApplication& app, const ProgramOptions& options) {
  ProcedureName name("Main");
  WindowContext& context = WindowContexts::Instance().Main();
  // The frame takes the request word as its own (nothing calls the frame
  // with a request) and clears both words.
  context.set_request(kRequestNone);
  context.set_response(kResponseNone);

  MainFrame frame;
  frame.show();
  if (!options.screenshot.isEmpty()) {
    // The frame with "&Справочники" dropped down and "&Города" highlighted,
    // so the picture shows a menu and a hint in the status bar.
    QTimer::singleShot(300, &frame, [&frame] {
      QAction* reference = frame.menuBar()->actions().value(1);
      if (!reference || !reference->menu()) return;
      frame.menuBar()->setActiveAction(reference);
      QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
      QApplication::sendEvent(reference->menu(), &down);
    });
    QTimer::singleShot(900, &frame, [&frame, &options] {
      QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
      if (!shot.copy(frame.frameGeometry()).save(options.screenshot, "PNG"))
        std::fprintf(stderr, "cannot save %s\n", options.screenshot.toLocal8Bit().constData());
      if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
      frame.close();
    });
  } else if (options.close_at_once) {
    QTimer::singleShot(0, &frame, &QWidget::close);
  }
  app.exec();
}

int RunProgram(QApplication& app, const ProgramOptions& options, std::vector<std::string>* trail) {
  app.setQuitOnLastWindowClosed(true);
  InstallWindowFont();
  QTranslator qt_texts;
  if (qt_texts.load(QLocale(QLocale::Russian), QStringLiteral("qtbase"), QStringLiteral("_"),
                    QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    app.installTranslator(&qt_texts);

  // 1. The error reporter.
  ErrorReporter::Init();
  MessageBoxPresenter presenter;
  ErrorReporter::Shared()->SetPresenter(&presenter);
  Note(trail, "reporter");
  // 2. The data dictionary.
  dict::Init(ErrorReporter::Shared());
  Note(trail, "dictionary");
  // 3. The settings file.
  SettingsFile settings;
  settings.Read();
  Note(trail, "settings read");
  // 4. Dragging full windows: off for the run.
  const bool drag_was_on = platform::GetDragFullWindows();
  if (drag_was_on) platform::SetDragFullWindows(false);
  Note(trail, "drag off");
  // 5. The frame.
  Main(app, options);
  Note(trail, "main ended");
  // 6. Dragging full windows back on.
  if (drag_was_on) platform::SetDragFullWindows(true);
  Note(trail, "drag restored");
  // 7. The settings file.
  if (int rc = settings.Write())
    std::fprintf(stderr, "%s could not be written (error %d)\n", settings.file().c_str(), rc);
  Note(trail, "settings written");
  // 8. The dictionary, then the error reporter.
  dict::Release();
  Note(trail, "dictionary released");
  ErrorReporter::Shared()->SetPresenter(nullptr);
  ErrorReporter::Release();
  Note(trail, "reporter released");
  app.removeTranslator(&qt_texts);
  return 0;
}

}  // namespace kel
