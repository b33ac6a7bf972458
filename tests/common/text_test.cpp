#include <gtest/gtest.h>

#include "common/text.hpp"

TEST(Text, Placeholder) { EXPECT_TRUE(korvo::is_valid_utf8("abc")); }
