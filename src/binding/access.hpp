// The shared/exclusive access guard. A changing call holds its object
// exclusively for its whole length; a reading call holds it shared. A call
// that re-enters the object (from a Python callback the first call made)
// fails with RuntimeError instead of seeing or making a half-done change.
#pragma once

#include "binding/errors.hpp"

namespace orvu::py {

class AccessFlag {
public:
    bool free() const noexcept { return state_ == 0; }

private:
    friend class ExclusiveAccess;
    friend class SharedAccess;
    int state_ = 0;  // 0 free, >0 number of readers, -1 held exclusively
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(AccessFlag& flag) : flag_(flag) {
        if (flag_.state_ != 0) raise_runtime_error("Already borrowed");
        flag_.state_ = -1;
    }
    ~ExclusiveAccess() { flag_.state_ = 0; }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    AccessFlag& flag_;
};

class SharedAccess {
public:
    explicit SharedAccess(AccessFlag& flag) : flag_(flag) {
        if (flag_.state_ < 0) raise_runtime_error("Already mutably borrowed");
        ++flag_.state_;
    }
    ~SharedAccess() { --flag_.state_; }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    AccessFlag& flag_;
};

}  // namespace orvu::py
