#include "app/main/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPrintDialog>
#include <QPointer>
#include <QStatusBar>
#include <QStatusTipEvent>

#include "framework/dialog_units.h"
#include "framework/window_starter.h"

namespace kel {

const std::vector<MenuItemSpec>& MenuSpec() {
  using M = MenuItemSpec;
  static const std::vector<MenuItemSpec> menu = {
      {M::kMenu, "&Файл", "", "", -1, "", 0},
      {M::kItem, "&Установка принтера", "?PRINTSETUP", "Setup printer", -2, "", 0},
      {M::kSeparator, "", "", "", 0, "", 0},
      {M::kItem, "&Выход", "?EXIT", "Exit this application", -3, "", 0},
      {M::kMenu, "&Справочники", "", "", -4, "", 0},
      {M::kItem, "&Города", "?BROWSEGOROD", "Browse gorod", -5, "Browsegorod", 50000},
      {M::kItem, "&Заказчики", "?BROWSEKLIENT", "Browse klient", -6, "Browseklientnumg", 50000},
      {M::kSeparator, "", "", "", 0, "", 0},
      {M::kItem, "&Перевозчики", "?СПРАВОЧНИКИ2", "", -7, "Perevozshiki", 25000},
      {M::kSeparator, "", "", "", 0, "", 0},
      {M::kItem, "&Автомобили", "?СПРАВОЧНИКИАВТОМОБИЛИ", "", -8, "AvtoSelect", 25000},
      {M::kItem, "&Кузова", "?СПРАВОЧНИКИКУЗОВА", "", -9, "KuzovSelect", 25000},
      {M::kSeparator, "", "", "", 0, "", 0},
      {M::kItem, "&Города -Заказчики", "?РАБОТАЗАяВКА", "", -10, "GorodKlient", 25000},
      {M::kItem, "&Перевозчики - Транспорт", "?СПРАВОЧНИКИПЕРЕВОЗЧИКИТРАНСПОРТ", "", -11,
       "PerevozTransp", 25000},
      {M::kBarCommand, "&Состояние транспорта", "?СПРАВОЧНИКИТРАНСПОРТ", "", -12, "Transport",
       25000},
      {M::kMenu, "&Работа", "", "", -13, "", 0},
      {M::kItem, "&Заявка", "?РАБОТА2", "", -14, "Zayavka", 25000},
      {M::kItem, "&Архив", "?РАБОТААРХИВ", "", -15, "Archiv", 25000},
      {M::kMenu, "&Окно", "", "Create and Arrange windows", -16, "", 0},
      {M::kItem, "&Часть", "?TILE", "Make all open windows visible", -17, "", 0},
      {M::kItem, "&Каскад", "?CASCADE", "Stack all open windows", -18, "", 0},
      {M::kItem, "&Выровнить", "?ARRANGE", "Align all window icons", -19, "", 0},
  };
  return menu;
}

QFont WindowFont() { return QFont(QStringLiteral("MS Sans Serif"), 8); }

void InstallWindowFont() {
  // The first installed family that has Cyrillic letters stands in.
  static const char* const kCandidates[] = {"DejaVu Sans", "Liberation Sans", "Noto Sans",
                                            "FreeSans", "Arial"};
  QStringList families = QFontDatabase::families(QFontDatabase::Cyrillic);
  for (const char* candidate : kCandidates) {
    if (families.contains(QString::fromUtf8(candidate))) {
      QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QString::fromUtf8(candidate));
      break;
    }
  }
  QApplication::setFont(WindowFont());
}

MainFrame::MainFrame(QWidget* parent) : QMainWindow(parent), area_(new QMdiArea(this)) {
  setObjectName(QStringLiteral("Main"));
  setWindowTitle(QStringLiteral("Перевозка грузов"));
  setFont(WindowFont());
  setAttribute(Qt::WA_DeleteOnClose, false);
  area_->setObjectName(QStringLiteral("mdiArea"));
  setCentralWidget(area_);
  BuildMenu();
  BuildStatusBar();
  resize(1000, 700);
}

MainFrame::~MainFrame() = default;

void MainFrame::BuildMenu() {
  QMenuBar* bar = menuBar();
  QMenu* menu = nullptr;
  for (const MenuItemSpec& item : MenuSpec()) {
    const QString text = QString::fromUtf8(item.text);
    const QString hint = QString::fromUtf8(item.hint);
    QAction* action = nullptr;
    switch (item.kind) {
      case MenuItemSpec::kMenu:
        menu = bar->addMenu(text);
        menu->menuAction()->setProperty("control", item.control);
        menu->menuAction()->setStatusTip(hint);
        if (item.control == -16) window_menu_ = menu;
        continue;
      case MenuItemSpec::kSeparator:
        menu->addSeparator();
        continue;
      case MenuItemSpec::kBarCommand:
        menu = nullptr;
        action = bar->addAction(text);
        break;
      case MenuItemSpec::kItem:
        action = menu->addAction(text);
        break;
    }
    action->setObjectName(QString::fromUtf8(item.use_name));
    action->setProperty("control", item.control);
    action->setStatusTip(hint);
    const std::string use = item.use_name;
    if (use == "?PRINTSETUP") {
      connect(action, &QAction::triggered, this, &MainFrame::PrintSetup);
    } else if (use == "?EXIT") {
      connect(action, &QAction::triggered, this, &QWidget::close);
    } else if (use == "?TILE") {
      connect(action, &QAction::triggered, area_, &QMdiArea::tileSubWindows);
    } else if (use == "?CASCADE") {
      connect(action, &QAction::triggered, area_, &QMdiArea::cascadeSubWindows);
    } else if (use == "?ARRANGE") {
      connect(action, &QAction::triggered, this, &MainFrame::ArrangeIcons);
    } else {
      const std::string procedure = item.procedure;
      const uint32_t stack = item.stack_size;
      connect(action, &QAction::triggered, this,
              [this, procedure, stack] { StartWindow(area_, procedure, stack); });
    }
  }
  connect(window_menu_, &QMenu::aboutToShow, this, &MainFrame::FillWindowList);
}

void MainFrame::FillWindowList() {
  for (QAction* a : window_list_) {
    window_menu_->removeAction(a);
    delete a;
  }
  window_list_.clear();
  const QList<QMdiSubWindow*> children = area_->subWindowList();
  if (children.isEmpty()) return;
  window_list_.push_back(window_menu_->addSeparator());
  int number = 1;
  for (QMdiSubWindow* child : children) {
    QString title = child->windowTitle();
    QString text = number < 10 ? QStringLiteral("&%1 %2").arg(number).arg(title)
                               : QStringLiteral("%1 %2").arg(number).arg(title);
    QAction* a = window_menu_->addAction(text);
    a->setCheckable(true);
    a->setChecked(child == area_->activeSubWindow());
    QPointer<QMdiSubWindow> target = child;
    connect(a, &QAction::triggered, this, [this, target] {
      if (!target) return;
      if (target->isMinimized()) target->showNormal();
      area_->setActiveSubWindow(target);
    });
    window_list_.push_back(a);
    ++number;
  }
}

void MainFrame::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setFont(WindowFont());
  bar->setSizeGripEnabled(true);
  auto* first = new QLabel(bar);
  first->setObjectName(QStringLiteral("statusZone1"));
  first->setMinimumWidth(1);
  first->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  bar->addWidget(first, 1);
  zones_.push_back(first);
  for (int i = 0; i < 3; ++i) {
    auto* zone = new QLabel(bar);
    zone->setObjectName(QStringLiteral("statusZone%1").arg(i + 2));
    zone->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    zone->setFixedWidth(DialogUnitsToPixelsX(kStatusZoneWidths[i], WindowFont()));
    bar->addPermanentWidget(zone);
    zones_.push_back(zone);
  }
}

QAction* MainFrame::Action(const QString& use_name) const {
  return findChild<QAction*>(use_name);
}

QLabel* MainFrame::Zone(int number) const {
  return number >= 1 && number <= int(zones_.size()) ? zones_[number - 1] : nullptr;
}

void MainFrame::PrintSetup() {
  // The printer, its paper and orientation are chosen here; nothing is
  // printed. The choice stays with the frame's printer for the run.
  QPrintDialog dialog(&printer_, this);
  dialog.setObjectName(QStringLiteral("printSetup"));
  dialog.setWindowTitle(QStringLiteral("Установка принтера"));
  dialog.setOptions(QAbstractPrintDialog::PrintShowPageSize | QAbstractPrintDialog::PrintToFile);
  dialog.exec();
}

void MainFrame::ArrangeIcons() {
  // Minimised children in a row along the bottom, left to right, wrapping
  // upwards when the row is full.
  const QSize view = area_->viewport()->size();
  int x = 0, y = view.height();
  for (QMdiSubWindow* child : area_->subWindowList()) {
    if (!child->isMinimized()) continue;
    const QSize size = child->size();
    if (x > 0 && x + size.width() > view.width()) {
      x = 0;
      y -= size.height();
    }
    child->move(x, y - size.height());
    x += size.width();
  }
}

bool MainFrame::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    zones_[0]->setText(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

void MainFrame::closeEvent(QCloseEvent* event) {
  area_->closeAllSubWindows();
  bool refused = false;
  for (QMdiSubWindow* child :
       area_->viewport()->findChildren<QMdiSubWindow*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (child->isVisible()) {
      refused = true;
    } else {
      delete child;  // closed: end its window and context now, not at the next loop turn
    }
  }
  if (refused) {
    event->ignore();
    return;
  }
  event->accept();
}

}  // namespace kel
