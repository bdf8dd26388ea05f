// The frame's menu against the menu it must have: order, texts with their
// accelerators, separators, use names, control numbers and hints.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTest>

#include "app/main/main_frame.h"
#include "framework/dialog_units.h"

namespace kel {
namespace {

struct Row {
  const char* where;  // "bar" for a bar entry, else the drop-down's text
  const char* text;   // "-" for a separator
  const char* use_name;
  const char* hint;
  int control;
};

const std::vector<Row> kExpected = {
    {"bar", "&Файл", "", "", -1},
    {"&Файл", "&Установка принтера", "?PRINTSETUP", "Setup printer", -2},
    {"&Файл", "-", "", "", 0},
    {"&Файл", "&Выход", "?EXIT", "Exit this application", -3},
    {"bar", "&Справочники", "", "", -4},
    {"&Справочники", "&Города", "?BROWSEGOROD", "Browse gorod", -5},
    {"&Справочники", "&Заказчики", "?BROWSEKLIENT", "Browse klient", -6},
    {"&Справочники", "-", "", "", 0},
    {"&Справочники", "&Перевозчики", "?СПРАВОЧНИКИ2", "", -7},
    {"&Справочники", "-", "", "", 0},
    {"&Справочники", "&Автомобили", "?СПРАВОЧНИКИАВТОМОБИЛИ", "", -8},
    {"&Справочники", "&Кузова", "?СПРАВОЧНИКИКУЗОВА", "", -9},
    {"&Справочники", "-", "", "", 0},
    {"&Справочники", "&Города -Заказчики", "?РАБОТАЗАяВКА", "", -10},
    {"&Справочники", "&Перевозчики - Транспорт", "?СПРАВОЧНИКИПЕРЕВОЗЧИКИТРАНСПОРТ", "", -11},
    {"bar", "&Состояние транспорта", "?СПРАВОЧНИКИТРАНСПОРТ", "", -12},
    {"bar", "&Работа", "", "", -13},
    {"&Работа", "&Заявка", "?РАБОТА2", "", -14},
    {"&Работа", "&Архив", "?РАБОТААРХИВ", "", -15},
    {"bar", "&Окно", "", "Create and Arrange windows", -16},
    {"&Окно", "&Часть", "?TILE", "Make all open windows visible", -17},
    {"&Окно", "&Каскад", "?CASCADE", "Stack all open windows", -18},
    {"&Окно", "&Выровнить", "?ARRANGE", "Align all window icons", -19},
};

std::string S(const QString& s) { return s.toStdString(); }

TEST(MenuTest, MenuIsExactlyTheExpectedOne) {
  MainFrame frame;
  std::vector<Row> got;
  std::vector<std::string> storage;  // keeps the texts the rows point to
  storage.reserve(200);
  auto keep = [&](const QString& s) {
    storage.push_back(S(s));
    return storage.back().c_str();
  };
  for (QAction* bar_action : frame.menuBar()->actions()) {
    got.push_back({"bar", keep(bar_action->text()),
                   keep(bar_action->menu() ? QString() : bar_action->objectName()),
                   keep(bar_action->statusTip()), bar_action->property("control").toInt()});
    if (QMenu* menu = bar_action->menu()) {
      for (QAction* a : menu->actions()) {
        if (a->isSeparator())
          got.push_back({keep(bar_action->text()), "-", "", "", 0});
        else
          got.push_back({keep(bar_action->text()), keep(a->text()), keep(a->objectName()),
                         keep(a->statusTip()), a->property("control").toInt()});
      }
    }
  }
  ASSERT_EQ(got.size(), kExpected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(got[i].where, kExpected[i].where);
    EXPECT_STREQ(got[i].text, kExpected[i].text);
    EXPECT_STREQ(got[i].use_name, kExpected[i].use_name);
    EXPECT_STREQ(got[i].hint, kExpected[i].hint);
    EXPECT_EQ(got[i].control, kExpected[i].control);
  }
  // "&Состояние транспорта" is a command on the bar, not a drop-down.
  QAction* transport = frame.Action(QStringLiteral("?СПРАВОЧНИКИТРАНСПОРТ"));
  ASSERT_NE(transport, nullptr);
  EXPECT_EQ(transport->menu(), nullptr);
  EXPECT_TRUE(frame.menuBar()->actions().contains(transport));
}

TEST(MenuTest, TitleFontAndStatusZones) {
  MainFrame frame;
  EXPECT_EQ(S(frame.windowTitle()), "Перевозка грузов");
  // "MS Sans Serif" 8 pt resolves to an installed font that has Cyrillic.
  InstallWindowFont();
  QFont font = WindowFont();
  EXPECT_EQ(font.pointSize(), 8);
  QFontMetrics metrics(font);
  for (char32_t c : {U'Ж', U'я', U'Ё'}) EXPECT_TRUE(metrics.inFontUcs4(c)) << uint32_t(c);

  frame.resize(900, 600);
  frame.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
  const int widths[] = {80, 120, 45};
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(frame.Zone(i + 2), nullptr);
    EXPECT_EQ(frame.Zone(i + 2)->width(), DialogUnitsToPixelsX(widths[i], WindowFont()));
    EXPECT_GT(frame.Zone(i + 2)->width(), 0);
  }
  // Zone 1 takes the remaining width, left of the others.
  EXPECT_GT(frame.Zone(1)->width(), frame.Zone(3)->width());
  EXPECT_LT(frame.Zone(1)->x(), frame.Zone(2)->x());
  EXPECT_LT(frame.Zone(2)->x(), frame.Zone(3)->x());
  EXPECT_LT(frame.Zone(3)->x(), frame.Zone(4)->x());
}

TEST(MenuTest, HintOfTheItemBeingChosenShowsInZoneOne) {
  MainFrame frame;
  frame.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
  QAction* reference = frame.menuBar()->actions().at(1);  // "&Справочники"
  QMenu* menu = reference->menu();
  frame.menuBar()->setActiveAction(reference);  // dropped down from the bar, as by the user
  ASSERT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }, 2000));
  auto zone_shows = [&](const QString& text) {
    return QTest::qWaitFor([&] { return frame.Zone(1)->text() == text; }, 2000);
  };
  QTest::keyClick(menu, Qt::Key_Down);  // first item: "&Города"
  EXPECT_EQ(menu->activeAction(), frame.Action(QStringLiteral("?BROWSEGOROD")));
  EXPECT_TRUE(zone_shows(QStringLiteral("Browse gorod"))) << frame.Zone(1)->text().toStdString();
  QTest::keyClick(menu, Qt::Key_Down);
  EXPECT_TRUE(zone_shows(QStringLiteral("Browse klient")));
  QTest::keyClick(menu, Qt::Key_Down);  // "&Перевозчики" has no hint: the zone clears
  EXPECT_EQ(menu->activeAction(), frame.Action(QStringLiteral("?СПРАВОЧНИКИ2")));
  EXPECT_TRUE(zone_shows(QString()));
  EXPECT_TRUE(frame.Zone(2)->text().isEmpty());
  menu->close();
}

}  // namespace
}  // namespace kel
