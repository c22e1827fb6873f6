// The shared/exclusive access guard. A changing call holds its object
// exclusively for its whole length; a reading call holds it shared. A call
// that re-enters the object (from a Python callback the first call made)
// fails with RuntimeError instead of seeing or making a half-done change.
#pragma once

#include "binding/errors.hpp"

namespace orvu::py {

class BorrowFlag {
public:
    bool free() const noexcept { return state_ == 0; }

private:
    friend class ExclusiveBorrow;
    friend class SharedBorrow;
    int state_ = 0;  // 0 free, >0 number of readers, -1 held exclusively
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_.state_ != 0) raise_runtime_error("Already borrowed");
        flag_.state_ = -1;
    }
    ~ExclusiveBorrow() { flag_.state_ = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_.state_ < 0) raise_runtime_error("Already mutably borrowed");
        ++flag_.state_;
    }
    ~SharedBorrow() { --flag_.state_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

}  // namespace orvu::py
