#include "module/logging/logger.h"

#include <array>
#include <bit>
#include <mutex>
#include <stdexcept>

#include <boost/algorithm/string/trim.hpp>

namespace qnLogging {
namespace detail {
namespace {

std::mutex& tree_mutex() {
    static std::mutex mutex;
    return mutex;
}

struct group_table {
    std::shared_mutex lock;
    std::array<std::string, 64> names;
};

group_table& groups() {
    static group_table table;
    return table;
}

unsigned group_index(std::uint64_t group) {
    if (group == 0 || !std::has_single_bit(group)) {
        throw std::invalid_argument("Invalid group id");
    }
    return static_cast<unsigned>(std::countr_zero(group));
}

}  // namespace

inner_logstate::inner_logstate(std::shared_ptr<inner_logstate> parent, std::string name,
                               std::uint32_t mask)
    : m_parent(std::move(parent)), m_name(std::move(name)), m_level_mask(mask) {}

std::string inner_logstate::name() const {
    std::shared_lock lock(m_lock);
    return m_name;
}

std::shared_ptr<inner_logstate> get_logger_impl(const std::string& path) {
    // Validate the whole path before creating anything.
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = path.find('.', start);
        const std::size_t end = dot == std::string::npos ? path.size() : dot;
        if (end == start) {
            throw std::logic_error("Invalid path: logger entity names must not be empty");
        }
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    std::lock_guard tree(tree_mutex());
    std::shared_ptr<inner_logstate> current = root_logger();
    start = 0;
    while (start <= path.size()) {
        std::size_t dot = path.find('.', start);
        if (dot == std::string::npos)
            dot = path.size();
        const std::string entity = path.substr(start, dot - start);
        start = dot + 1;
        std::shared_ptr<inner_logstate> child;
        {
            std::shared_lock lock(current->m_lock);
            auto it = current->m_children.find(entity);
            if (it != current->m_children.end())
                child = it->second.lock();
        }
        if (!child) {
            std::string full_name;
            {
                std::shared_lock lock(current->m_lock);
                full_name = current->m_name.empty() ? entity : current->m_name + "." + entity;
            }
            child = std::make_shared<inner_logstate>(current, std::move(full_name),
                                                     current->level_mask());
            std::unique_lock lock(current->m_lock);
            current->m_children[entity] = child;
        }
        current = std::move(child);
    }
    return current;
}

std::uint32_t set_level_mask_impl(inner_logstate& logger, std::uint32_t mask) {
    std::unique_lock lock(logger.m_lock);
    return logger.m_level_mask.exchange(mask, std::memory_order_relaxed);
}

std::size_t purge_impl(inner_logstate& logger) {
    std::size_t dropped = 0;
    std::unique_lock lock(logger.m_lock);
    for (auto it = logger.m_children.begin(); it != logger.m_children.end();) {
        if (auto child = it->second.lock()) {
            dropped += purge_impl(*child);
            ++it;
        } else {
            it = logger.m_children.erase(it);
            ++dropped;
        }
    }
    return dropped;
}

void set_root_name_impl(const std::string& requested) {
    if (requested.find('.') != std::string::npos) {
        throw std::invalid_argument("Root name must not contain separator character");
    }
    const std::string name = boost::algorithm::trim_copy(requested);
    inner_logstate& root = *root_logger();
    if (root.name() == name) {
        return;
    }
    std::lock_guard tree(tree_mutex());
    purge_impl(root);
    std::unique_lock lock(root.m_lock);
    if (!root.m_children.empty()) {
        throw std::runtime_error("Root name can only be changed if no children are present");
    }
    root.m_name = name;
}

}  // namespace detail

const logger_ptr& root_logger() {
    static const logger_ptr root = std::make_shared<detail::inner_logstate>(nullptr, "", 0);
    return root;
}

logger_ptr get_logger(const std::string& path) {
    if (path.empty()) {
        return root_logger();
    }
    return detail::get_logger_impl(path);
}

std::uint32_t set_level_mask(const logger_ptr& logger, std::uint32_t mask) {
    return detail::set_level_mask_impl(*logger, mask);
}

void set_root_name(const std::string& name) {
    detail::set_root_name_impl(name);
}

std::size_t purge_loggers() {
    std::lock_guard tree(detail::tree_mutex());
    return detail::purge_impl(*root_logger());
}

std::string group_name(std::uint64_t group) {
    const unsigned index = detail::group_index(group);
    auto& table = detail::groups();
    std::shared_lock lock(table.lock);
    if (table.names[index].empty()) {
        throw std::invalid_argument("Group id not registered");
    }
    return table.names[index];
}

void register_group_name(std::uint64_t group, const std::string& name) {
    const unsigned index = detail::group_index(group);
    auto& table = detail::groups();
    std::unique_lock lock(table.lock);
    table.names[index] = name;
}

}  // namespace qnLogging
