// SPDX-License-Identifier: MIT
// One test case per row of a table: rows are records with named fields and a
// `name` (letters, digits and underscores), which GoogleTest shows as the
// case's name, e.g. CmdExec/LastLine.KeepsTheLastLine/ChunkedLongLine.
#pragma once

#include <gtest/gtest.h>

#include <string>

// Instantiates fixture (a testing::TestWithParam<Row>) once per row of rows.
#define TABLE_ROWS(fixture, rows)                                  \
  INSTANTIATE_TEST_SUITE_P(Rows, fixture, testing::ValuesIn(rows), \
                           [](const auto &info) { return std::string(info.param.name); })
