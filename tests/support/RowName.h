// Names the rows of a table-driven test after their `name` field.
#pragma once

#include <string>

#include <gtest/gtest.h>

struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
    return row.param.name;
  }
};
