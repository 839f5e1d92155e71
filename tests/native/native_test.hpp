// Minimal test harness for the native self-test executable (tarnexa_native_tests).
//
// Every tests/native/*.cpp file is linked into one executable together with the core sources.
// Write a test in any of them:
//
//     #include "native_test.hpp"
//
//     TEST(ranking_keeps_ties_in_input_order) {
//         CHECK(rank({1, 1}) == std::vector<int>{0, 1});
//         for (int n : {0, 1, 7})
//             CHECK_MSG(top_k(n).size() <= n, "n=" << n);   // anything std::ostream can print
//         REQUIRE(buffer != nullptr);                        // stops this test if false
//     }
//
// CHECK and CHECK_MSG record a failure (file, line, expression, message) and let the test go on;
// REQUIRE also ends the current test. A test fails if any check failed or it threw. Only the first
// few failures of a test are printed, the rest are counted. Test names must be unique across files
// (a duplicate is reported as a failure).
//
// main.cpp runs every test, or with arguments only those whose name contains one of them, and
// ends with the line "N passed, M failed"; the exit status is nonzero if a test failed or no test
// matched.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace native_test {

using TestFn = void (*)();

struct TestCase {
    const char* name;
    TestFn fn;
    const char* file;
    int line;
};

// All registered tests, in registration order (per file: definition order).
inline std::vector<TestCase>& registry() {
    static std::vector<TestCase> tests;
    return tests;
}

struct Registrar {
    Registrar(const char* name, TestFn fn, const char* file, int line) {
        registry().push_back({name, fn, file, line});
    }
};

// Failures of the test that is running.
struct RunState {
    int failures = 0;
};

inline RunState& run_state() {
    static RunState state;
    return state;
}

constexpr int kMaxPrintedFailures = 10;

inline void report_failure(const char* file, int line, const char* expr, const std::string& msg) {
    RunState& s = run_state();
    if (++s.failures > kMaxPrintedFailures) return;
    std::printf("    %s:%d: CHECK(%s) failed%s%s\n", file, line, expr, msg.empty() ? "" : ": ",
                msg.c_str());
}

// Thrown by REQUIRE to leave the current test.
struct RequireFailed {};

}  // namespace native_test

#define TEST(name)                                                                      \
    static void native_test_body_##name();                                              \
    static const ::native_test::Registrar native_test_registrar_##name(                 \
        #name, &native_test_body_##name, __FILE__, __LINE__);                           \
    static void native_test_body_##name()

#define CHECK(cond)                                                                     \
    do {                                                                                \
        if (!(cond)) ::native_test::report_failure(__FILE__, __LINE__, #cond, std::string()); \
    } while (0)

#define CHECK_MSG(cond, msg)                                                            \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            std::ostringstream native_test_msg_;                                        \
            native_test_msg_ << msg;                                                    \
            ::native_test::report_failure(__FILE__, __LINE__, #cond, native_test_msg_.str()); \
        }                                                                               \
    } while (0)

#define REQUIRE(cond)                                                                   \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            ::native_test::report_failure(__FILE__, __LINE__, #cond, std::string());    \
            throw ::native_test::RequireFailed{};                                       \
        }                                                                               \
    } while (0)
