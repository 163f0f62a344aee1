// Readable names for parameterised tests: CTest lists them by these names,
// the same in every build.
#pragma once

#include <cctype>
#include <string>

// Any text as a test name: letters and digits kept, everything else '_'.
inline std::string TestName(std::string s) {
    for (char &ch : s)
        if (!isalnum((unsigned char)ch)) ch = '_';
    return s;
}

// The name generator for parameters that carry a `name` member.
struct NamedParam {
    template <class P>
    std::string operator()(const P &info) const {
        return TestName(info.param.name);
    }
};
