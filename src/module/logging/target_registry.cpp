#include "module/logging/target_registry.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "module/logging/formatters.h"
#include "module/logging/logsvc_target.h"

namespace qnLogging {
namespace {

struct entry {
    std::shared_ptr<basic_logtargetfilter> filter;
    std::shared_ptr<basic_logtarget> target;
};

struct registry {
    std::shared_mutex lock;
    std::vector<entry> entries;
};

registry& targets() {
    static registry instance;
    return instance;
}

template <class Ch>
void dispatch_impl(const basic_timed_msgstate& state, const Ch* begin, const Ch* end) {
    registry& r = targets();
    std::shared_lock lock(r.lock);
    for (const entry& e : r.entries) {
        if (e.filter->accept(state)) {
            e.target->write(state, begin, end);
        }
    }
}

}  // namespace

boost::posix_time::ptime local_time_now() {
    return boost::posix_time::microsec_clock::local_time();
}

void register_target(std::shared_ptr<basic_logtarget> target,
                     std::shared_ptr<basic_logtargetfilter> filter) {
    if (!filter) {
        filter = std::make_shared<basic_logtargetfilter_all>();
    }
    registry& r = targets();
    std::unique_lock lock(r.lock);
    r.entries.push_back(entry{std::move(filter), std::move(target)});
}

void register_formatter(const basic_timespanformatter& formatter) {
    register_target(std::make_shared<basic_timespanformatter>(formatter));
}

void register_formatter(const basic_dateformatter& formatter) {
    register_target(std::make_shared<basic_dateformatter>(formatter));
}

bool unregister_target(const std::shared_ptr<basic_logtarget>& target) {
    std::vector<entry> removed;
    {
        registry& r = targets();
        std::unique_lock lock(r.lock);
        auto it = std::stable_partition(r.entries.begin(), r.entries.end(),
                                        [&](const entry& e) { return e.target != target; });
        std::move(it, r.entries.end(), std::back_inserter(removed));
        r.entries.erase(it, r.entries.end());
    }
    return !removed.empty();
}

void clear_targets() {
    std::vector<entry> removed;
    {
        registry& r = targets();
        std::unique_lock lock(r.lock);
        removed.swap(r.entries);
    }
    for (entry& e : removed) {
        e.filter.reset();
        e.target.reset();
    }
}

std::size_t target_count() {
    registry& r = targets();
    std::shared_lock lock(r.lock);
    return r.entries.size();
}

namespace detail {
void dispatch(const basic_timed_msgstate& state, const char* begin, const char* end) {
    dispatch_impl(state, begin, end);
}
void dispatch(const basic_timed_msgstate& state, const wchar_t* begin, const wchar_t* end) {
    dispatch_impl(state, begin, end);
}
}  // namespace detail

}  // namespace qnLogging

namespace qnLogging {

void register_logsvc_target(const basic_logsvc_target& target) {
    register_target(std::make_shared<basic_logsvc_target>(target));
}

}  // namespace qnLogging
