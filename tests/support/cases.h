// Names for the instances of table-driven tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

// Names each instance after the `name` field of its row.
struct by_name {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return info.param.name;
  }
};

}  // namespace testsupport
