// The records of the demo catalog: customers, products and the orders that
// join them, made up by a fixed pseudo-random sequence so that every set-up
// gets the same catalog. The schemas are resources/demo/*.json.
#pragma once

#include <string>

namespace tmbadmin {

inline constexpr int kDemoCustomers = 1000;
inline constexpr int kDemoProducts = 200;
inline constexpr int kDemoOrders = 3000;

struct DemoCsv {
  std::string customers;
  std::string products;
  std::string orders;
};

// The three tables as CSV text with header rows, ids from 1. Every order
// names an existing customer and product; its total is quantity * price.
DemoCsv MakeDemoCsv();

}  // namespace tmbadmin
