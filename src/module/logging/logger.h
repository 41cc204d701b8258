// The logger tree: dotted logger names under one process-wide root, each logger with a level
// mask and a group mask; and the process-wide group name table.
//
// Locks, in the order they may nest: the tree mutex (child creation, purging, renaming the
// root) before a logger's reader/writer lock. Masks are atomics so that the check on every log
// call takes no lock. The group table has its own reader/writer lock and nests under nothing.
// A child keeps its parent alive; parents hold children weakly, so an unused child disappears
// and is re-created on the next lookup.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

#include "module/logging/levels.h"

namespace qnLogging {
namespace detail {

class inner_logstate {
public:
    inner_logstate(std::shared_ptr<inner_logstate> parent, std::string name, std::uint32_t mask);

    const std::shared_ptr<inner_logstate>& parent() const { return m_parent; }
    std::string name() const;
    std::uint32_t level_mask() const { return m_level_mask.load(std::memory_order_relaxed); }
    std::uint64_t group_mask() const { return m_group_mask.load(std::memory_order_relaxed); }
    void set_group_mask(std::uint64_t mask) { m_group_mask.store(mask, std::memory_order_relaxed); }
    // Whether a message of this level and group would pass.
    bool passes(std::uint32_t level, std::uint64_t group) const {
        return (level_mask() & level) != 0 && (group_mask() & group) != 0;
    }

private:
    friend std::shared_ptr<inner_logstate> get_logger_impl(const std::string& path);
    friend std::uint32_t set_level_mask_impl(inner_logstate&, std::uint32_t);
    friend void set_root_name_impl(const std::string&);
    friend std::size_t purge_impl(inner_logstate&);

    std::shared_ptr<inner_logstate> m_parent;
    std::string m_name;
    std::atomic<std::uint32_t> m_level_mask;
    std::atomic<std::uint64_t> m_group_mask{no_group};
    std::map<std::string, std::weak_ptr<inner_logstate>> m_children;
    mutable std::shared_mutex m_lock;
};

}  // namespace detail

using logger_ptr = std::shared_ptr<detail::inner_logstate>;

// The process-wide root: empty name, level mask 0 until someone opens it.
const logger_ptr& root_logger();
// "" is the root; "a.b" walks (and creates) a then b. Empty entity names throw
// std::logic_error.
logger_ptr get_logger(const std::string& path);
// Returns the previous mask.
std::uint32_t set_level_mask(const logger_ptr& logger, std::uint32_t mask);
// Trims blanks; refuses "." and renaming while the root has children.
void set_root_name(const std::string& name);
// Drops expired children from the whole tree; returns how many were dropped.
std::size_t purge_loggers();

// The group name table: 64 slots, one per bit of a group id.
std::string group_name(std::uint64_t group);
// Names the group of a single-bit id (an empty name unregisters it).
void register_group_name(std::uint64_t group, const std::string& name);

}  // namespace qnLogging
