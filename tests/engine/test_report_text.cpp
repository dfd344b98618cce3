#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "engine/report_text.h"

namespace qelvar::engine {
namespace {

TEST(ReportText, IntegersFormatAsPrintfWouldWithZeroPadding) {
  const int64_t values[] = {0,
                            7,
                            -7,
                            13,
                            99999,
                            100000,
                            -12345,
                            261376,
                            std::numeric_limits<int32_t>::min(),
                            std::numeric_limits<int64_t>::min()};
  for (int64_t v : values) {
    for (int width : {0, 1, 4, 5}) {
      char expected[64];
      std::snprintf(expected, sizeof expected, "%0*" PRId64, width, v);
      ReportText t;
      t.AppendDec(v, width);
      EXPECT_EQ(t.Text(), expected) << v << " width " << width;
    }
  }
  for (uint64_t v : {uint64_t{0}, uint64_t{0x1b}, uint64_t{0x3fd01}, uint64_t{0xff},
                     std::numeric_limits<uint64_t>::max()}) {
    for (int width : {0, 3, 4}) {
      char expected[64];
      std::snprintf(expected, sizeof expected, "%0*" PRIx64, width, v);
      ReportText t;
      t.AppendHex(v, width);
      EXPECT_EQ(t.Text(), expected) << v << " width " << width;
    }
  }
}

}  // namespace
}  // namespace qelvar::engine
