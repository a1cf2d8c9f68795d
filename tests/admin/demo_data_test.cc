#include "tmbio/admin/demo_data.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tmbio/record_text.h"

namespace tmbadmin {
namespace {

// The rows of a CSV text as header name -> value maps.
std::vector<std::map<std::string, std::string>> Rows(const std::string& text) {
  std::istringstream in(text);
  tmbio::text::CsvReader reader(&in);
  std::vector<std::string> header;
  std::vector<std::string> row;
  EXPECT_TRUE(reader.Next(&header));
  std::vector<std::map<std::string, std::string>> rows;
  while (reader.Next(&row)) {
    EXPECT_EQ(row.size(), header.size()) << "line " << reader.line();
    auto& r = rows.emplace_back();
    for (size_t i = 0; i < header.size() && i < row.size(); ++i) r[header[i]] = row[i];
  }
  EXPECT_EQ(reader.error(), "");
  return rows;
}

TEST(DemoDataTest, TablesAreCompleteAndOrdersReferToThem) {
  const DemoCsv csv = MakeDemoCsv();
  const auto customers = Rows(csv.customers);
  const auto products = Rows(csv.products);
  const auto orders = Rows(csv.orders);
  ASSERT_EQ(customers.size(), size_t{kDemoCustomers});
  ASSERT_EQ(products.size(), size_t{kDemoProducts});
  ASSERT_EQ(orders.size(), size_t{kDemoOrders});

  std::set<std::string> emails;
  for (const auto& c : customers) emails.insert(c.at("email"));
  EXPECT_EQ(emails.size(), customers.size()) << "by_email is a unique key";

  std::map<long, long> price_of;
  std::set<std::string> codes;
  for (const auto& p : products) {
    price_of[std::stol(p.at("id"))] = std::stol(p.at("price_cents"));
    codes.insert(p.at("code"));
  }
  EXPECT_EQ(codes.size(), products.size()) << "by_code is a unique key";

  std::set<long> order_ids;
  size_t shipped = 0;
  for (const auto& o : orders) {
    order_ids.insert(std::stol(o.at("id")));
    const long customer = std::stol(o.at("customer_id"));
    EXPECT_GE(customer, 1);
    EXPECT_LE(customer, kDemoCustomers);
    const long product = std::stol(o.at("product_id"));
    ASSERT_EQ(price_of.count(product), 1u) << "order " << o.at("id");
    EXPECT_EQ(std::stol(o.at("total_cents")), std::stol(o.at("quantity")) * price_of[product]);
    if (!o.at("shipped").empty()) {
      ++shipped;
      EXPECT_GT(o.at("shipped"), o.at("ordered")) << "order " << o.at("id");
    }
  }
  EXPECT_EQ(order_ids.size(), orders.size());
  // Some orders are unshipped, so the sparse key leaves records out.
  EXPECT_GT(shipped, 0u);
  EXPECT_LT(shipped, orders.size());

  // Every set-up builds the same catalog.
  const DemoCsv again = MakeDemoCsv();
  EXPECT_EQ(again.customers, csv.customers);
  EXPECT_EQ(again.orders, csv.orders);
}

}  // namespace
}  // namespace tmbadmin
