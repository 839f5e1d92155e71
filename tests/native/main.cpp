// Runs the registered native tests; see native_test.hpp.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <string>

#include "native_test.hpp"

namespace {

bool selected(const char* name, int argc, char** argv) {
    if (argc <= 1) return true;
    for (int a = 1; a < argc; ++a)
        if (std::strstr(name, argv[a])) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    int passed = 0, failed = 0;
    std::set<std::string> seen;
    for (const native_test::TestCase& t : native_test::registry()) {
        if (!selected(t.name, argc, argv)) continue;
        native_test::RunState& state = native_test::run_state();
        state.failures = 0;
        std::printf("RUN  %s\n", t.name);
        std::fflush(stdout);
        if (!seen.insert(t.name).second)
            native_test::report_failure(t.file, t.line, t.name, "duplicate test name");

        const auto start = std::chrono::steady_clock::now();
        try {
            t.fn();
        } catch (const native_test::RequireFailed&) {
            // already reported
        } catch (const std::exception& e) {
            native_test::report_failure(t.file, t.line, t.name,
                                        std::string("threw std::exception: ") + e.what());
        } catch (...) {
            native_test::report_failure(t.file, t.line, t.name, "threw a non-standard exception");
        }
        const double ms = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - start).count();

        if (state.failures == 0) {
            ++passed;
            std::printf("PASS %s (%.1f ms)\n", t.name, ms);
        } else {
            ++failed;
            if (state.failures > native_test::kMaxPrintedFailures)
                std::printf("    ... %d more failures not shown\n",
                            state.failures - native_test::kMaxPrintedFailures);
            std::printf("FAIL %s (%d failed checks)\n", t.name, state.failures);
        }
        std::fflush(stdout);
    }
    if (passed + failed == 0) std::fprintf(stderr, "no test matches the given names\n");
    std::printf("%d passed, %d failed\n", passed, failed);
    return (failed != 0 || passed == 0) ? 1 : 0;
}
