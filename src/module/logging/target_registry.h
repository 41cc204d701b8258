// The process-wide target registry: (filter, target) pairs in registration order.
//
// One reader/writer lock: dispatch holds it shared while it calls the targets (which then take
// their own locks: registry lock before a target's lock), registration and clearing take it
// exclusively. A target must therefore not register targets from within a write. Targets that
// are removed are released after the lock is dropped, so their destructors may log.
#pragma once

#include <cstddef>
#include <memory>

#include "module/logging/target.h"

namespace qnLogging {

class basic_timespanformatter;
class basic_dateformatter;

// Appends a copy of the formatter (same forwarded target, same start time) with an accept-all
// filter.
void register_formatter(const basic_timespanformatter& formatter);
void register_formatter(const basic_dateformatter& formatter);
// Appends any target with any filter (null filter: accept all).
void register_target(std::shared_ptr<basic_logtarget> target,
                     std::shared_ptr<basic_logtargetfilter> filter = nullptr);
// Removes one target (every entry that holds it); returns whether one was there.
bool unregister_target(const std::shared_ptr<basic_logtarget>& target);
// Releases every entry in order.
void clear_targets();
std::size_t target_count();

namespace detail {
void dispatch(const basic_timed_msgstate& state, const char* begin, const char* end);
void dispatch(const basic_timed_msgstate& state, const wchar_t* begin, const wchar_t* end);
}  // namespace detail

}  // namespace qnLogging
