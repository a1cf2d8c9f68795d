#include "tmbio/admin/demo_data.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tmbio/admin/commands.h"
#include "tmbio/record_text.h"

namespace tmbadmin {

using tmbio::text::AppendCsvRecord;

namespace {

// SplitMix64: small, and the same numbers on every platform, which the
// standard library's distributions do not promise.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A number in [low, high].
  int64_t Between(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(Next() % static_cast<uint64_t>(high - low + 1));
  }
  template <typename T, size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Next() % N];
  }
  bool Chance(int percent) { return Between(1, 100) <= percent; }

 private:
  uint64_t state_;
};

// Days since 1970-01-01 as YYYYMMDD (the civil calendar, proleptic).
std::string DateOf(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[16];
  std::snprintf(text, sizeof(text), "%04d%02d%02d", static_cast<int>(year), static_cast<int>(month),
                static_cast<int>(day));
  return text;
}

constexpr int64_t kDay2015 = 16436;  // 2015-01-01
constexpr int64_t kDay2023 = 19358;  // 2023-01-01

const char* const kFirstNames[] = {
    "Anna",  "Ben",  "Clara", "David", "Elena", "Farid", "Greta",      "Hugo", "Ines",  "Jonas",
    "Karin", "Liam", "Maria", "Noah",  "Olga",  "Pablo", "Quinn",      "Rosa", "Sven",  "Tara",
    "Umar",  "Vera", "Wim",   "Xenia", "Yusuf", "Zoe",   "anne-marie", "JEAN", "Lucía", "Björn"};
const char* const kLastNames[] = {
    "Andersen",     "Becker", "Costa",  "Dubois",   "Evans",   "Fischer",  "Garcia",
    "Hansen",       "Ivanov", "Jensen", "Kowalski", "Larsen",  "McDonald", "Novak",
    "O'Brien",      "Petrov", "Quist",  "Rossi",    "Schmidt", "Tanaka",   "de la Cruz",
    "van der Berg", "Weber",  "Young",  "Müller",   "SMITH"};
const char* const kCompanies[] = {"Smith, Jones & Co",    "\"Blue Sky\" Trading", "Acme Ltd",
                                  "Nordic Tools AB",      "Casa Verde S.L.",      "Kowalski i Syn",
                                  "Lakeside Bakery",      "Orchard & Vine",       "Pixel Forge",
                                  "Harbour Freight, Inc."};
struct Place {
  const char* city;
  const char* country;
};
const Place kPlaces[] = {
    {"Amsterdam", "NL"}, {"Rotterdam", "NL"}, {"Berlin", "DE"}, {"Munich", "DE"},
    {"Hamburg", "DE"},   {"Paris", "FR"},     {"Lyon", "FR"},   {"Madrid", "ES"},
    {"Sevilla", "ES"},   {"Lisbon", "PT"},    {"Oslo", "NO"},   {"Bergen", "NO"},
    {"Warsaw", "PL"},    {"Krakow", "PL"},    {"London", "GB"}, {"leeds", "GB"},
    {"Dublin", "IE"},    {"Rome", "IT"},      {"MILAN", "IT"},  {"Vienna", "AT"}};
struct Category {
  const char* name;
  const char* prefix;
  const char* const* items;
  int item_count;
};
const char* const kKitchen[] = {"Kettle 1.5 l",  "Pizza Pan 12\"",          "Chef's Knife",
                                "Cutting Board", "Espresso Cups, set of 4", "Salad Bowl"};
const char* const kGarden[] = {"Hose 25 m", "Pruning Shears", "Watering Can", "Seed Tray",
                               "Garden Gloves, size M"};
const char* const kOffice[] = {"Stapler",      "A4 Paper, 500 sheets",
                               "Desk Lamp",    "Notebook \"Classic\"",
                               "Fountain Pen", "Monitor Stand"};
const char* const kToys[] = {"Wooden Train", "Puzzle 1000 pieces", "Kite", "Building Blocks",
                             "Plush Bear"};
const char* const kSport[] = {"Yoga Mat", "Tennis Balls, 3-pack", "Water Bottle", "Jump Rope",
                              "Bike Light"};
const Category kCategories[] = {{"Kitchen", "KIT", kKitchen, 6},
                                {"Garden", "GAR", kGarden, 5},
                                {"Office", "OFF", kOffice, 6},
                                {"Toys", "TOY", kToys, 5},
                                {"Sport", "SPO", kSport, 5}};
const char* const kColours[] = {"Red", "Blue", "Green", "Black", "White", "Oak", "Steel"};
const char* const kNotes[] = {"Leave at the door", "Gift wrap, please",
                              "Call before delivery,\nring twice", "Fragile",
                              "Deliver to \"Reception\""};

std::string Number(int64_t n) { return std::to_string(n); }

std::string EmailOf(const std::string& first, const std::string& last, int id) {
  std::string local;
  for (char c : first + "." + last) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.') {
      local.push_back(c);
    } else if (c >= 'A' && c <= 'Z') {
      local.push_back(static_cast<char>(c - 'A' + 'a'));
    }
  }
  return local + Number(id) + "@example.com";
}

}  // namespace

DemoCsv MakeDemoCsv() {
  DemoCsv csv;
  Random random(20240611);

  AppendCsvRecord({"id", "name", "company", "city", "country", "email", "since", "credit_limit"},
                  &csv.customers);
  for (int id = 1; id <= kDemoCustomers; ++id) {
    const std::string first = random.Pick(kFirstNames);
    const std::string last = random.Pick(kLastNames);
    const Place& place = random.Pick(kPlaces);
    const std::string company = random.Chance(30) ? random.Pick(kCompanies) : "";
    AppendCsvRecord({Number(id), first + " " + last, company, place.city, place.country,
                     EmailOf(first, last, id), DateOf(random.Between(kDay2015, kDay2023 - 1)),
                     Number(random.Between(0, 50) * 100)},
                    &csv.customers);
  }

  AppendCsvRecord({"id", "code", "name", "category", "price_cents", "stock", "added", "swatch"},
                  &csv.products);
  std::vector<int64_t> prices(kDemoProducts + 1);
  for (int id = 1; id <= kDemoProducts; ++id) {
    const Category& category = random.Pick(kCategories);
    const std::string item =
        category.items[random.Next() % static_cast<uint64_t>(category.item_count)];
    char code[16];
    std::snprintf(code, sizeof(code), "%s-%04d", category.prefix, id);
    prices[static_cast<size_t>(id)] = random.Between(99, 25000);
    char swatch[8];
    std::snprintf(swatch, sizeof(swatch), "%06llx",
                  static_cast<unsigned long long>(random.Next() & 0xFFFFFF));
    AppendCsvRecord({Number(id), code, item + " (" + random.Pick(kColours) + ")", category.name,
                     Number(prices[static_cast<size_t>(id)]), Number(random.Between(-5, 500)),
                     DateOf(random.Between(kDay2015, kDay2023 - 1)), swatch},
                    &csv.products);
  }

  AppendCsvRecord({"id", "customer_id", "product_id", "quantity", "ordered", "shipped", "status",
                   "total_cents", "note"},
                  &csv.orders);
  for (int id = 1; id <= kDemoOrders; ++id) {
    const int64_t customer = random.Between(1, kDemoCustomers);
    // A few products sell far more than the rest.
    const int64_t product =
        random.Chance(25) ? random.Between(1, 10) : random.Between(1, kDemoProducts);
    const int64_t quantity = random.Between(1, 12);
    const int64_t ordered = kDay2023 + random.Between(0, 729);
    const int64_t roll = random.Between(1, 100);
    std::string shipped;
    std::string status;
    if (roll <= 80) {
      shipped = DateOf(ordered + random.Between(1, 7));
      status = "shipped";
    } else if (roll <= 92) {
      status = "open";
    } else {
      status = "cancelled";
    }
    const std::string note = random.Chance(10) ? random.Pick(kNotes) : "";
    AppendCsvRecord(
        {Number(id), Number(customer), Number(product), Number(quantity), DateOf(ordered), shipped,
         status, Number(quantity * prices[static_cast<size_t>(product)]), note},
        &csv.orders);
  }
  return csv;
}

int DemoCommand(const std::string& dir, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    err << dir << ": cannot create: " << ec.message() << "\n";
    return 1;
  }
  const DemoCsv csv = MakeDemoCsv();
  const std::pair<const char*, const std::string*> files[] = {{"customers.csv", &csv.customers},
                                                              {"products.csv", &csv.products},
                                                              {"orders.csv", &csv.orders}};
  for (const auto& [name, text] : files) {
    const std::string path = (std::filesystem::path(dir) / name).string();
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << *text;
    file.close();
    if (!file) {
      err << path << ": cannot write\n";
      return 1;
    }
    out << "wrote " << path << "\n";
  }
  return 0;
}

}  // namespace tmbadmin
