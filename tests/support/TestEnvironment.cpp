// Every test program starts from the same environment, whatever the caller's shell holds: the
// program's own switches (NORVALE_*) are cleared before any test runs, then the synthetic
// cameras are switched on as the suite expects them. A test that wants a switch sets it itself.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

struct SealedEnvironment {
    SealedEnvironment() {
        std::vector<std::string> names;
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view variable(*entry);
            if (variable.substr(0, 8) == "NORVALE_")
                names.emplace_back(variable.substr(0, variable.find('=')));
        }
        for (const std::string& name : names)
            unsetenv(name.c_str());
        setenv("NORVALE_TEST_DEVICES", "4", 1);
    }
};

const SealedEnvironment sealed;

} // namespace
