#include "windows/Module1.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Module1, RetriesAFailedAddSoonAndThenLessOften)
{
    const struct
    {
        int failures;
        unsigned milliseconds;
    } cases[] = {{1, 1000}, {2, 2000}, {6, 32000}, {7, 60000}, {40, 60000}};
    for (const auto& c : cases) {
        EXPECT_EQ(dovo::Module1::RetryDelay(c.failures), c.milliseconds) << c.failures;
    }
}

} // namespace
