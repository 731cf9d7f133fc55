#include <gtest/gtest.h>

#include "support.hpp"

namespace quarnel::match::testing {
namespace {

TEST(Smoke, MatchesOneRecord) {
    const std::string data = array({record(one(R"({"type":"file","name":"a"})"), 5)});
    EXPECT_EQ(run("[file:name = 'a']", data).verdict, "match 0");
}

}  // namespace
}  // namespace quarnel::match::testing
