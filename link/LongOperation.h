#pragma once

namespace rq70 {

// The search and the update each run inside a click handler and yield to the event loop while
// they wait, so their own buttons can be pressed again meanwhile. Only one of them may run at a
// time: a second one finds the slot taken and does not start.
enum class LongOperation { None, Search, Update };

class LongOperationGuard {
public:
    LongOperationGuard(LongOperation& slot, LongOperation kind)
        : slot_(slot), acquired_(slot == LongOperation::None) {
        if (acquired_)
            slot_ = kind;
    }
    ~LongOperationGuard() {
        if (acquired_)
            slot_ = LongOperation::None;
    }
    LongOperationGuard(const LongOperationGuard&) = delete;
    LongOperationGuard& operator=(const LongOperationGuard&) = delete;

    bool Acquired() const { return acquired_; }

private:
    LongOperation& slot_;
    bool acquired_;
};

} // namespace rq70
