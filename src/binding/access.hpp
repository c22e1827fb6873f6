// The shared/exclusive access guard. A changing call holds its object
// exclusively for its whole length; a reading call holds it shared. A call
// that re-enters the object (from a Python callback the first call made)
// fails with RuntimeError instead of seeing or making a half-done change.
#pragma once

#include "binding/errors.hpp"

namespace orvu::py {

enum class Access { None, Shared, Exclusive };

class AccessFlag {
    template <Access>
    friend class Guard;
    int state_ = 0;  // 0 free, >0 number of readers, -1 held exclusively
};

// Holds a flag with access `A` for its lifetime (Access::None: not at all).
template <Access A>
class Guard {
public:
    explicit Guard(AccessFlag& flag) : flag_(flag) {
        if constexpr (A == Access::Exclusive) {
            if (flag_.state_ != 0) raise_runtime_error("Already borrowed");
            flag_.state_ = -1;
        } else if constexpr (A == Access::Shared) {
            if (flag_.state_ < 0) raise_runtime_error("Already mutably borrowed");
            ++flag_.state_;
        }
    }
    ~Guard() {
        if constexpr (A == Access::Exclusive) flag_.state_ = 0;
        if constexpr (A == Access::Shared) --flag_.state_;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    AccessFlag& flag_;
};

}  // namespace orvu::py
