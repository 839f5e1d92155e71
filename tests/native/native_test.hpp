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

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace native_test {

// splitmix64: the same numbers on every platform.
struct Rng {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Multiple of 2^-23 in [-1, 1): products are exact in double and never subnormal.
    float uniform() { return static_cast<float>(next() >> 40) * 0x1p-23f - 1.0f; }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    // An int8 code in [-127, 127].
    std::int8_t code() { return static_cast<std::int8_t>(static_cast<int>(next() % 255) - 127); }
};

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
