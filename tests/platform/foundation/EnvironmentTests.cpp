#include "platform/foundation/Environment.h"

#include <gtest/gtest.h>

#include <cstdlib>

using platform::Environment;
using platform::MemoryEnvironment;

TEST(EnvironmentTests, ProcessEnvironmentTellsAnEmptyVariableFromAnAbsentOne) {
    ASSERT_EQ(::setenv("TANDALO_TEST_VARIABLE", "", 1), 0);
    EXPECT_EQ(Environment::process().value("TANDALO_TEST_VARIABLE"), "");
    EXPECT_TRUE(Environment::process().contains("TANDALO_TEST_VARIABLE"));
    ASSERT_EQ(::setenv("TANDALO_TEST_VARIABLE", "host", 1), 0);
    EXPECT_EQ(Environment::process().value("TANDALO_TEST_VARIABLE"), "host");
    ASSERT_EQ(::unsetenv("TANDALO_TEST_VARIABLE"), 0);
    EXPECT_FALSE(Environment::process().value("TANDALO_TEST_VARIABLE"));
    EXPECT_FALSE(Environment::process().contains("TANDALO_TEST_VARIABLE"));

    // Names that getenv() would read as a different name are never found.
    ASSERT_EQ(::setenv("TANDALO_TEST_A", "x", 1), 0);
    EXPECT_FALSE(Environment::process().value("TANDALO_TEST_A=x"));
    EXPECT_FALSE(Environment::process().value(std::string_view("TANDALO_TEST_A\0B", 16)));
    EXPECT_FALSE(Environment::process().value(""));
    ::unsetenv("TANDALO_TEST_A");
}

TEST(EnvironmentTests, MemoryEnvironmentHoldsExactlyWhatItWasGiven) {
    MemoryEnvironment environment{{"CORVANE_TRACE", ""}, {"CORVANE_TRANSPORT", "host"}};
    const Environment& reader = environment;
    EXPECT_EQ(reader.value("CORVANE_TRACE"), "");
    EXPECT_EQ(reader.value("CORVANE_TRANSPORT"), "host");
    EXPECT_FALSE(reader.contains("HOME"));
    environment.set("CORVANE_TRANSPORT", "HOST");
    EXPECT_EQ(reader.value("CORVANE_TRANSPORT"), "HOST");
    environment.unset("CORVANE_TRACE");
    environment.unset("NEVER_SET");
    EXPECT_FALSE(reader.contains("CORVANE_TRACE"));
}
