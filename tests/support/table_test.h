// SPDX-License-Identifier: MIT
// One test case per row of a table: rows are records with a `name` (letters,
// digits and underscores) that GoogleTest shows as the case's name.
#pragma once

#include <gtest/gtest.h>

#include <string>

#define TABLE_ROWS(fixture, rows)                                  \
  INSTANTIATE_TEST_SUITE_P(Rows, fixture, testing::ValuesIn(rows), \
                           [](const auto &info) { return std::string(info.param.name); })
