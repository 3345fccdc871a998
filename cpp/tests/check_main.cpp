#include <cstdio>
#include <cstring>
#include <exception>

#include "check.hpp"

namespace check {

int run_all(const char* filter) {
    int ran = 0, failed_cases = 0;
    for (const Case& c : registry()) {
        if (filter != nullptr && std::strstr(c.name, filter) == nullptr)
            continue;
        const int before = failures();
        try {
            c.run();
        } catch (const std::exception& e) {
            fail(__FILE__, __LINE__, "unexpected exception");
            std::fprintf(stderr, "    in %s: %s\n", c.name, e.what());
        }
        ++ran;
        if (failures() != before) {
            ++failed_cases;
            std::fprintf(stderr, "FAILED %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", ran - failed_cases, failed_cases);
    return failed_cases == 0 && ran > 0 ? 0 : 1;
}

}  // namespace check

int main(int argc, char** argv) {
    return check::run_all(argc > 1 ? argv[1] : nullptr);
}
