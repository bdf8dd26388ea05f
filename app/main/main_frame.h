// The main frame "Перевозка грузов": an MDI frame whose menu starts every
// register and order window, each in a window context of its own.
//
// Menu bar, left to right: "&Файл", "&Справочники", "&Состояние транспорта"
// (a command on the bar itself), "&Работа", "&Окно". Each item's action has
// its use name as object name (e.g. "?BROWSEGOROD") and its control number
// (-1 to -19, menus included) in the property "control"; hint texts appear
// in the first of the four status-bar zones. Items whose window procedure is
// not registered yet do nothing when chosen.
//
// Closing the frame ("&Выход", the close box, the system menu) closes every
// child window first; a child that refuses to close keeps the frame open.
#pragma once

#include <QMainWindow>
#include <QPrinter>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QMdiArea;
class QMenu;

namespace kel {

// One entry of the frame's menu, in menu order.
struct MenuItemSpec {
  enum Kind { kMenu, kItem, kSeparator, kBarCommand };
  Kind kind;
  const char* text;        // with "&" accelerator
  const char* use_name;    // "" when none
  const char* hint;        // "" when none
  int control;             // 0 for separators
  const char* procedure;   // window procedure started, "" for standard actions
  uint32_t stack_size;
};
// The whole menu: a kMenu opens a drop-down whose items follow it.
const std::vector<MenuItemSpec>& MenuSpec();

class MainFrame : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kStatusZoneWidths[3] = {80, 120, 45};  // dialog units, zones 2-4

  explicit MainFrame(QWidget* parent = nullptr);
  ~MainFrame() override;

  QMdiArea* area() const { return area_; }
  // The action with this use name, or null.
  QAction* Action(const QString& use_name) const;
  QMenu* WindowMenu() const { return window_menu_; }
  // Status-bar zone 1 to 4.
  QLabel* Zone(int number) const;
  QPrinter* printer() { return &printer_; }

  // Standard actions.
  void PrintSetup();
  void ArrangeIcons();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void BuildStatusBar();
  void FillWindowList();

  QMdiArea* area_;
  QMenu* window_menu_ = nullptr;
  std::vector<QAction*> window_list_;  // actions of the child list in "&Окно"
  std::vector<QLabel*> zones_;
  QPrinter printer_;
};

// Window and status-bar font of every window: "MS Sans Serif" 8 pt, mapped to
// an installed sans font that has Cyrillic letters.
QFont WindowFont();
void InstallWindowFont();

}  // namespace kel
