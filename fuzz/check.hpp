// How a harness reports a disagreement between the core and its model: the
// message goes to stderr and the process aborts, which libFuzzer records as
// a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvu::fuzz {

[[noreturn]] inline void mismatch(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "==MODEL MISMATCH== %s:%d: %s\n", file, line, what.c_str());
    std::abort();
}

// Values as a mismatch report shows them: texts quoted, containers spelled out.
template <class T>
void show(std::ostream& out, const T& value);
template <class T>
void show(std::ostream& out, const std::optional<T>& value);
template <class A, class B>
void show(std::ostream& out, const std::pair<A, B>& pair);
template <class T>
void show(std::ostream& out, const std::vector<T>& items);

template <class T>
void show(std::ostream& out, const T& value) {
    if constexpr (std::is_enum_v<T>) {
        out << static_cast<int>(value);
    } else {
        out << value;
    }
}
inline void show(std::ostream& out, const std::string& text) { out << '"' << text << '"'; }
inline void show(std::ostream& out, std::string_view text) { out << '"' << text << '"'; }
inline void show(std::ostream& out, bool b) { out << (b ? "true" : "false"); }
template <class T>
void show(std::ostream& out, const std::optional<T>& value) {
    if (value) {
        show(out, *value);
    } else {
        out << "none";
    }
}
template <class A, class B>
void show(std::ostream& out, const std::pair<A, B>& pair) {
    out << '(';
    show(out, pair.first);
    out << ", ";
    show(out, pair.second);
    out << ')';
}
template <class T>
void show(std::ostream& out, const std::vector<T>& items) {
    out << '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out << ", ";
        show(out, items[i]);
    }
    out << ']';
}

// Builds the message from its parts; literal text is written as it is.
template <class... Parts>
std::string describe(const Parts&... parts) {
    std::ostringstream out;
    (show(out, parts), ...);
    return out.str();
}

}  // namespace orvu::fuzz

// FUZZ_EXPECT(cond, parts...): the core and the model must agree here.
#define FUZZ_EXPECT(cond, ...) \
    do { \
        if (!(cond)) ::orvu::fuzz::mismatch(__FILE__, __LINE__, ::orvu::fuzz::describe("expected " #cond ": ", __VA_ARGS__)); \
    } while (0)
// FUZZ_SAME(core, model, context...): two values that must be equal.
#define FUZZ_SAME(core_value, model_value, ...) \
    do { \
        const auto& fuzz_c_ = (core_value); \
        const auto& fuzz_m_ = (model_value); \
        if (!(fuzz_c_ == fuzz_m_)) \
            ::orvu::fuzz::mismatch(__FILE__, __LINE__, \
                                   ::orvu::fuzz::describe(#core_value " = ", fuzz_c_, ", model says ", fuzz_m_, \
                                                          " (", __VA_ARGS__, ")")); \
    } while (0)
