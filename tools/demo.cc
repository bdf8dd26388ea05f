#include "tools/demo.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "app/dictionary/tables.h"
#include "storage/errors.h"
#include "storage/lock_area.h"
#include "storage/table.h"
#include "storage/table_name.h"
#include "tools/cli.h"
#include "tools/command_support.h"
#include "tools/field_values.h"
#include "tools/table_file.h"

namespace kel::tool {
namespace {

using std::chrono::days;
using std::chrono::sys_days;

const char* const kCities[] = {
    "Москва", "Санкт-Петербург", "Новосибирск", "Екатеринбург", "Казань", "Нижний Новгород", "Челябинск",
    "Самара", "Омск", "Ростов-на-Дону", "Уфа", "Красноярск", "Воронеж", "Пермь", "Волгоград", "Краснодар",
    "Саратов", "Тюмень", "Тольятти", "Ижевск", "Барнаул", "Ульяновск", "Иркутск", "Хабаровск", "Ярославль",
    "Владивосток", "Томск", "Оренбург", "Кемерово", "Рязань", "Астрахань", "Пенза", "Липецк", "Тула", "Киров",
    "Калининград", "Курск", "Смоленск", "Тверь", "Вологда", "Архангельск", "Мурманск", "Белгород", "Брянск",
    "Владимир", "Иваново", "Кострома", "Чебоксары", "Набережные Челны", "Сургут"};

const char* const kCustomerStems[] = {
    "Агроторг", "Стройкомплект", "Уралснаб", "Волжский хлеб", "Сибирский лес", "Мебельная фабрика «Заря»",
    "Северная сталь", "Кубанский сахар", "Теплоизол", "Техноимпорт", "Русский фарфор", "Молочный двор",
    "Бумажная мануфактура", "Электрокабель", "Полимерпласт", "Окская верфь", "Лакокраска", "Фруктовый сад",
    "Стекольный завод «Луч»", "Кондитерская фабрика «Рассвет»", "Металлобаза № 3", "Цементный союз",
    "Трубный завод", "Сибирская птица", "Хладокомбинат", "Торговый дом «Гранит»", "Автозапчасть", "Лесопромторг",
    "Мясокомбинат «Ока»", "Шинный центр", "Текстиль-Иваново", "Химреактив", "Строймаркет", "Минеральные воды",
    "Азовский рыбзавод", "Камский кирпич", "Агрохолдинг «Нива»", "Оптовый склад «Восток»", "Медтехника",
    "Книжный двор"};
const char* const kForms[] = {"ООО", "АО", "ЗАО", "ИП"};

const char* const kFirms[] = {"ТрансЛайн", "АвтоГрузСервис", "Магистраль", "Сибтранс", "ВолгаКарго",
                              "Северный путь", "ЮгАвтоТранс", "УралТрак", "Балтийская логистика",
                              "ДальТрансАвто", "Русь-Перевозки", "Кама-Транзит", "Вектор", "Автоколонна 1417"};

const char* const kModels[] = {"КамАЗ-5320", "КамАЗ-65117", "МАЗ-5440", "ГАЗель Next", "Volvo FH12", "Scania R420",
                               "MAN TGX", "Mercedes-Benz Actros", "DAF XF105", "Iveco Stralis", "Renault Magnum",
                               "ЗИЛ-5301 «Бычок»", "Урал-4320", "Hyundai HD78"};

struct Body {
  const char* name;
  bool top, side, rear;
};
const Body kBodies[] = {{"Тент", true, true, true},
                        {"Рефрижератор", false, false, true},
                        {"Изотермический", false, false, true},
                        {"Бортовой", true, true, false},
                        {"Цельнометаллический фургон", false, true, true},
                        {"Контейнеровоз", true, false, true},
                        {"Самосвал", true, false, false},
                        {"Трал", true, true, true},
                        {"Открытая платформа", true, true, true}};

const char* const kSurnames[] = {"Иванов", "Петров", "Сидоров", "Кузнецов", "Смирнов", "Попов", "Васильев",
                                 "Соколов", "Михайлов", "Новиков", "Фёдоров", "Морозов", "Волков", "Алексеев",
                                 "Лебедев", "Семёнов", "Егоров", "Павлов", "Козлов", "Степанов", "Николаев",
                                 "Орлов", "Андреев", "Макаров", "Никитин", "Захаров", "Зайцев", "Соловьёв"};
const char* const kNames[] = {"Иван", "Пётр", "Алексей", "Сергей", "Андрей", "Дмитрий", "Николай", "Михаил",
                              "Владимир", "Юрий", "Виктор", "Олег", "Геннадий", "Анатолий", "Роман"};
const char* const kPatronymics[] = {"Иванович", "Петрович", "Сергеевич", "Алексеевич", "Николаевич",
                                    "Михайлович", "Владимирович", "Андреевич", "Викторович", "Юрьевич"};
const char* const kStreets[] = {"ул. Ленина", "ул. Гагарина", "пр. Мира", "ул. Советская", "ул. Заводская",
                                "ш. Энтузиастов", "ул. Промышленная", "ул. Садовая", "пр. Победы",
                                "ул. Железнодорожная", "ул. Складская", "Индустриальный пр."};
const char* const kStates[] = {"Ждет", "Готов", "В пути", "Возврат", "Ремонт"};

template <size_t N>
size_t Count(const char* const (&)[N]) {
  return N;
}

class Rng {
 public:
  explicit Rng(uint32_t seed) : g_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g_); }
  template <typename T, size_t N>
  const T& Pick(const T (&list)[N]) {
    return list[size_t(Int(0, int(N) - 1))];
  }
  bool Chance(int percent) { return Int(1, 100) <= percent; }

 private:
  std::mt19937 g_;
};

std::string DateText(sys_days d) {
  std::chrono::year_month_day ymd{d};
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
  return buf;
}

std::string Money(int hundredths) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d.%02d", hundredths / 100, hundredths % 100);
  return buf;
}

std::string Phone(Rng& r) {
  static const char* const codes[] = {"495", "812", "383", "343", "843", "831", "351", "846", "381", "863"};
  char buf[32];
  std::snprintf(buf, sizeof buf, "+7 (%s) %03d-%02d-%02d", r.Pick(codes), r.Int(100, 999), r.Int(10, 99),
                r.Int(10, 99));
  return buf;
}

std::string Mobile(Rng& r) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "+7 9%02d %03d-%02d-%02d", r.Int(0, 99), r.Int(100, 999), r.Int(10, 99),
                r.Int(10, 99));
  return buf;
}

std::string Address(Rng& r, const std::string& city) {
  return std::to_string(r.Int(101000, 692999)) + ", г. " + city + ", " + r.Pick(kStreets) + ", д. " +
         std::to_string(r.Int(1, 140));
}

// One table being filled: created empty, opened exclusively, records added
// in stream mode through a record buffer filled field by field.
class DemoTable {
 public:
  DemoTable(dict::TableId id, const std::string& dir, uint64_t rows = 0)
      : decl_(dict::Decl(id)), table_(decl_), bulk_(rows > kBulkRecords) {
    name_ = dir + "/" + decl_.file_name;
  }

  std::string Start() {
    int rc = table_.Create(name_);
    if (rc == 0) rc = table_.Open(name_, open_mode::kReadWrite | open_mode::kDenyWrite);
    if (rc != 0) return "cannot create " + name_ + ".KST: " + EngineError(rc);
    for (const Column& c : ColumnsOf(table_.desc())) columns_.emplace(c.name, c);
    table_.SetStream(true);
    return "";
  }

  void Clear() {
    uint8_t* rec = table_.record();
    std::memset(rec, 0, table_.record_length());
    for (const auto& [name, c] : columns_)
      if (c.field->type == uint8_t(FieldType::kString)) std::memset(rec + c.offset, ' ', c.size);
  }

  // `field` without the table prefix; `text` in the import's text form.
  void Set(const char* field, const std::string& text) {
    auto it = columns_.find(decl_.prefix + ":" + field);
    std::string error;
    if (it == columns_.end()) {
      error = "no field " + decl_.prefix + ":" + field;
    } else if (ParseValue(it->second, text, table_.record(), &error)) {
      return;
    }
    if (error_.empty()) error_ = name_ + ": " + error;
  }
  void Set(const char* field, long long n) { Set(field, std::to_string(n)); }

  std::string Add() {
    if (!error_.empty()) return error_;
    int rc = bulk_ ? table_.Append() : table_.Add();
    if (rc != 0) return "adding to " + name_ + ".KST failed: " + EngineError(rc);
    return "";
  }

  std::string Finish() {
    table_.SetStream(false);
    int rc = table_.Flush();
    if (rc == 0 && bulk_) rc = BuildIncompleteKeys(table_, nullptr);
    int close_rc = table_.Close();
    if (rc == 0) rc = close_rc;
    if (rc != 0) return "committing " + name_ + ".KST failed: " + EngineError(rc);
    return "";
  }

 private:
  const TableDecl& decl_;
  Table table_;
  std::string name_;
  std::map<std::string, Column> columns_;
  std::string error_;
  bool bulk_;
};

struct Unit {
  int num;
  int firm;
  std::string driver, model, body, firm_name, state, place;
  int tonnes_x100, volume_x100;
  bool top, side, rear;
};

}  // namespace

std::string CreateDemo(const std::string& dir, const DemoOptions& options) {
  if (!kel::IsDirectory(dir)) return dir + ": not a directory";
  Rng r(20261211);
  const sys_days today = std::chrono::floor<days>(std::chrono::system_clock::now());
  uint64_t total = 0, done = 0;
  const auto tick = [&] {
    ++done;
    if (options.progress && done % 256 == 0) options.progress(done, total);
  };
  std::string err;
#define KEL_DEMO_TRY(expr)         \
  do {                             \
    err = (expr);                  \
    if (!err.empty()) return err;  \
  } while (0)

  const size_t ncities = Count(kCities);
  const size_t ncustomers = Count(kCustomerStems);
  const size_t nfirms = Count(kFirms);
  total = ncities + ncustomers + nfirms + Count(kModels) + std::size(kBodies) + nfirms * 4 + options.orders;

  {  // GOROD
    DemoTable t(dict::TableId::kGorod, dir);
    KEL_DEMO_TRY(t.Start());
    for (size_t i = 0; i < ncities; ++i) {
      t.Clear();
      t.Set("NUM", (long long)(i + 1));
      t.Set("NOM", kCities[i]);
      KEL_DEMO_TRY(t.Add());
      tick();
    }
    KEL_DEMO_TRY(t.Finish());
  }
  std::vector<std::string> customers;
  {  // KLIENT
    DemoTable t(dict::TableId::kKlient, dir);
    KEL_DEMO_TRY(t.Start());
    for (size_t i = 0; i < ncustomers; ++i) {
      size_t city = size_t(r.Int(0, int(ncities) - 1));
      if (i < 8) city = i % 3;   // several customers in the largest cities
      const std::string form = kForms[i % 4];
      const std::string stem = kCustomerStems[i];
      std::string name;
      if (form == "ИП") {
        name = form + " " + kSurnames[i % Count(kSurnames)] + " " + std::string(kNames[i % Count(kNames)], 2) + "." +
               std::string(kPatronymics[i % Count(kPatronymics)], 2) + ".";
      } else if (stem.find("«") != std::string::npos) {
        name = form + " " + stem;
      } else {
        name = form + " «" + stem + "»";
      }
      customers.push_back(name);
      t.Clear();
      t.Set("NUM", (long long)(i + 1));
      t.Set("NUMGOR", (long long)(city + 1));
      t.Set("NOM", name);
      std::string legal = Address(r, kCities[city]);
      t.Set("ADRESU", legal);
      t.Set("ADRESP", r.Chance(60) ? legal : Address(r, kCities[city]));
      KEL_DEMO_TRY(t.Add());
      tick();
    }
    KEL_DEMO_TRY(t.Finish());
  }
  {  // AVTO
    DemoTable t(dict::TableId::kAvto, dir);
    KEL_DEMO_TRY(t.Start());
    for (size_t i = 0; i < Count(kModels); ++i) {
      t.Clear();
      t.Set("NUM", (long long)(i + 1));
      t.Set("NOM", kModels[i]);
      KEL_DEMO_TRY(t.Add());
      tick();
    }
    KEL_DEMO_TRY(t.Finish());
  }
  {  // KUZOV
    DemoTable t(dict::TableId::kKuzov, dir);
    KEL_DEMO_TRY(t.Start());
    for (size_t i = 0; i < std::size(kBodies); ++i) {
      t.Clear();
      t.Set("NUM", (long long)(i + 1));
      t.Set("NOM", kBodies[i].name);
      KEL_DEMO_TRY(t.Add());
      tick();
    }
    KEL_DEMO_TRY(t.Finish());
  }
  std::vector<Unit> units;
  {  // FIRMA and PEREVOZ
    DemoTable f(dict::TableId::kFirma, dir);
    DemoTable p(dict::TableId::kPerevoz, dir);
    KEL_DEMO_TRY(f.Start());
    KEL_DEMO_TRY(p.Start());
    int unit_no = 0;
    for (size_t i = 0; i < nfirms; ++i) {
      std::string city = kCities[size_t(r.Int(0, 15))];
      f.Clear();
      f.Set("NUM", (long long)(i + 1));
      f.Set("NOM", kFirms[i]);
      f.Set("PHONE1", Phone(r));
      if (r.Chance(70)) f.Set("PHONE2", Phone(r));
      if (r.Chance(30)) f.Set("PHONE3", Mobile(r));
      if (r.Chance(10)) f.Set("PHONE4", Mobile(r));
      std::string legal = Address(r, city);
      f.Set("ADRESU", legal);
      f.Set("ADRESP", r.Chance(50) ? legal : Address(r, city));
      KEL_DEMO_TRY(f.Add());
      tick();
      const int n = r.Int(2, 6);
      for (int k = 0; k < n; ++k) {
        Unit u;
        u.num = ++unit_no;
        u.firm = int(i + 1);
        u.firm_name = kFirms[i];
        u.driver = std::string(r.Pick(kSurnames)) + " " + r.Pick(kNames) + " " + r.Pick(kPatronymics);
        const Body& body = r.Pick(kBodies);
        u.body = body.name;
        u.top = body.top;
        u.side = body.side;
        u.rear = body.rear;
        u.model = r.Pick(kModels);
        static const int kTonnes[] = {150, 300, 500, 1000, 1500, 2000, 2500};
        u.tonnes_x100 = r.Pick(kTonnes);
        u.volume_x100 = (u.tonnes_x100 / 100 * 4 + r.Int(8, 20)) * 100 + (r.Chance(50) ? 50 : 0);
        // Every state occurs: the first units of the fleet take them in turn.
        u.state = unit_no <= 5 ? kStates[unit_no - 1] : r.Pick(kStates);
        // The location is a city: where the unit stands, or where it is
        // bound for while on the way.
        u.place = kCities[size_t(r.Int(0, int(ncities) - 1))];
        units.push_back(u);
      }
    }
    KEL_DEMO_TRY(f.Finish());
    for (Unit& u : units) {
      p.Clear();
      p.Set("NUM", u.num);
      p.Set("NUMFIRMA", u.firm);
      p.Set("NOM", u.driver);
      p.Set("MODELAVTO", u.model);
      p.Set("MODELKUZOV", u.body);
      p.Set("GRUZ", Money(u.tonnes_x100));
      p.Set("NOMFIRMA", u.firm_name);
      p.Set("V", Money(u.volume_x100));
      p.Set("VID1", u.top ? 1 : 0);
      p.Set("VID2", u.side ? 1 : 0);
      p.Set("VID3", u.rear ? 1 : 0);
      p.Set("FAVORIT", r.Chance(25) ? 1 : 0);
      p.Set("SOST", u.state);
      p.Set("MESTO", u.place);
      char passport[96];
      std::snprintf(passport, sizeof passport, "паспорт %02d %02d %06d, выдан %02d.%02d.%04d", r.Int(10, 99),
                    r.Int(0, 20), r.Int(100000, 999999), r.Int(1, 28), r.Int(1, 12), r.Int(1998, 2020));
      p.Set("PASE", passport);
      p.Set("PHONE", Mobile(r));
      KEL_DEMO_TRY(p.Add());
      tick();
    }
    KEL_DEMO_TRY(p.Finish());
  }
  {  // RABOTA: archived orders first (older numbers), current ones last.
    DemoTable t(dict::TableId::kRabota, dir, options.orders);
    KEL_DEMO_TRY(t.Start());
    const uint64_t n = options.orders;
    const uint64_t current = n == 0 ? 0 : std::max<uint64_t>(1, std::min<uint64_t>(n / 5, 60));
    const uint64_t archived = n - current;
    for (uint64_t i = 0; i < n; ++i) {
      const bool is_current = i >= archived;
      // Archived orders spread over the past, two years at most; current
      // ones from a week ago to a week ahead.
      sys_days planned_load =
          is_current ? today + days(r.Int(-7, 7))
                     : today - days(int64_t(8 + (archived - i) * 730 / std::max<uint64_t>(archived, 1)));
      const int trip_days = r.Int(1, 6);
      const Unit& u = units[size_t(r.Int(0, int(units.size()) - 1))];
      size_t from = size_t(r.Int(0, int(ncities) - 1));
      size_t to = (from + size_t(r.Int(1, int(ncities) - 1))) % ncities;
      const int tonnes = std::max(1, u.tonnes_x100 / 100 - r.Int(0, u.tonnes_x100 / 200));
      const int volume = std::max(100, u.volume_x100 - r.Int(0, 10) * 100);
      const bool assigned = !is_current || r.Chance(70);
      const bool loaded = !is_current ? true : assigned && planned_load <= today && r.Chance(70);
      t.Clear();
      t.Set("NUM", (long long)(i + 1));
      t.Set("NOM_KLIENT", customers[size_t(r.Int(0, int(customers.size()) - 1))]);
      t.Set("TIP", u.body);
      t.Set("TN", tonnes);
      t.Set("V", Money(volume));
      t.Set("VID1", u.top ? 1 : 0);
      t.Set("VID2", u.side ? 1 : 0);
      t.Set("VID3", u.rear ? 1 : 0);
      t.Set("GOROD_N", kCities[from]);
      t.Set("GOROD_K", kCities[to]);
      t.Set("DATA_N", DateText(planned_load));
      t.Set("DATA_K", DateText(planned_load + days(trip_days)));
      if (assigned) {
        t.Set("TIPF", u.body);
        t.Set("TNF", u.tonnes_x100 / 100);
        t.Set("VF", Money(u.volume_x100));
        t.Set("VID1F", u.top ? 1 : 0);
        t.Set("VID2F", u.side ? 1 : 0);
        t.Set("VID3F", u.rear ? 1 : 0);
        t.Set("NOM_PEREVOZ", u.driver);
        t.Set("FIRMA_PEREVOZ", u.firm_name);
        t.Set("NUM_PEREVOZ", u.num);
      }
      if (loaded) t.Set("DATA_NF", DateText(planned_load + days(r.Int(0, 1))));
      if (!is_current) t.Set("DATA_KF", DateText(planned_load + days(trip_days + r.Int(0, 2))));
      KEL_DEMO_TRY(t.Add());
      tick();
    }
    KEL_DEMO_TRY(t.Finish());
  }
#undef KEL_DEMO_TRY
  if (options.progress) options.progress(total, total);
  return "";
}

int CmdDemo(const Invocation& inv) {
  DemoOptions options;
  if (inv.Has("--orders")) {
    const std::string v = inv.Get("--orders");
    char* end = nullptr;
    unsigned long long n = std::strtoull(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || v[0] == '-' || n > 5000000) {
      *inv.err << "kelstore demo: --orders takes a number from 0 to 5000000, not '" << v << "'\n";
      return kExitMisuse;
    }
    options.orders = n;
  }
  const std::string& dir = inv.operands[0];
  if (!kel::IsDirectory(dir)) {
    *inv.err << "kelstore demo: " << dir << " is not a directory\n";
    return kExitMisuse;
  }
  Progress progress(*inv.err, "demo");
  options.progress = [&](uint64_t done, uint64_t total) { progress.Update(done, total); };
  std::string err = CreateDemo(dir, options);
  progress.Finish();
  if (!err.empty()) {
    *inv.err << "kelstore demo: " << err << "\n";
    return kExitFinding;
  }
  *inv.err << "created the seven tables in " << dir << " with " << options.orders << " orders\n";
  return kExitOk;
}

}  // namespace kel::tool
