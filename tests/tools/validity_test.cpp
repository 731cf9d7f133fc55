#include "tools/validity.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quarnel::tools {
namespace {

struct ValidityCase {
    std::string pattern;
    bool valid;
};

class ValidityTest : public testing::TestWithParam<ValidityCase> {};

TEST_P(ValidityTest, AgreesWithTheParser) {
    EXPECT_EQ(is_valid_pattern(GetParam().pattern), GetParam().valid) << GetParam().pattern;
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, ValidityTest,
    testing::Values(ValidityCase{"[file:name = 'x']", true},
                    ValidityCase{"[file:name = 'x'", false},
                    // passes the grammar, fails to convert
                    ValidityCase{"[file:size = 99999999999999999999]", false},
                    ValidityCase{"[a:b = t'2020-13-01T00:00:00Z']", false},
                    ValidityCase{std::string(300, '(') + "[a:b = 1]" + std::string(300, ')'), false},
                    ValidityCase{"", false}));

}  // namespace
}  // namespace quarnel::tools
