#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(Failpoint, FiresOnceWhereArmed) {
    failpoint::clear();
    failpoint::fail_once("minbar.index_append");
    EXPECT_NO_THROW(failpoint::pass("minbar.index_create"));
    EXPECT_THROW(failpoint::pass("minbar.index_append"), IoError);
    EXPECT_NO_THROW(failpoint::pass("minbar.index_append"));
}

TEST(Failpoint, RefusesUnknownPoints) {
    EXPECT_THROW(failpoint::fail_once("minbar.nowhere"), ArgumentError);
}

}  // namespace
}  // namespace corvane
