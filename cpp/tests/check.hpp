// A minimal self-checking test harness: TEST(name) registers a case, CHECK* record failures with
// their file and line, and run_all() (called by main in check_main.cpp) runs every case, or only
// those whose names contain the first command-line argument, and reports the counts.
#pragma once

#include <cmath>
#include <cstdio>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*run)();
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, void (*run)()) { registry().push_back(Case{name, run}); }
};

inline void fail(const char* file, int line, const char* what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
}

// Equal, or both NaN (a NaN expected value asks for a NaN).
inline bool same(double got, double expected) {
    return got == expected || (std::isnan(got) && std::isnan(expected));
}

// |got - expected| <= tol, or both NaN, or the same infinity.
inline bool near(double got, double expected, double tol) {
    if (std::isnan(expected) || std::isinf(expected))
        return same(got, expected);
    return std::fabs(got - expected) <= tol;
}

int run_all(const char* filter);

}  // namespace check

#define CHECK_CONCAT_(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT_(a, b)

#define TEST(name)                                                                         \
    static void name();                                                                    \
    static const check::Register CHECK_CONCAT(register_, name)(#name, &name); /* NOLINT */ \
    static void name()

#define CHECK(cond)                                 \
    do {                                            \
        if (!(cond))                                \
            check::fail(__FILE__, __LINE__, #cond); \
    } while (0)

// Exact equality of doubles (NaN matches NaN), printing both values on failure.
#define CHECK_SAME(got, expected)                                                                 \
    do {                                                                                          \
        const double check_got_ = (got), check_expected_ = (expected);                            \
        if (!check::same(check_got_, check_expected_)) {                                          \
            check::fail(__FILE__, __LINE__, #got " == " #expected);                               \
            std::fprintf(stderr, "    got %.17g, expected %.17g\n", check_got_, check_expected_); \
        }                                                                                         \
    } while (0)

// Equality within an absolute tolerance (NaN matches NaN), printing both values on failure.
#define CHECK_NEAR(got, expected, tol)                                                            \
    do {                                                                                          \
        const double check_got_ = (got), check_expected_ = (expected);                            \
        if (!check::near(check_got_, check_expected_, (tol))) {                                   \
            check::fail(__FILE__, __LINE__, #got " ~= " #expected);                               \
            std::fprintf(stderr, "    got %.17g, expected %.17g\n", check_got_, check_expected_); \
        }                                                                                         \
    } while (0)
