// The live-object counters that CanUnload reads: changed only by atomic increments (the last
// step of a player's constructor) and decrements (its destructor).
#pragma once

#include <atomic>
#include <cstdint>

namespace ZYL {

std::atomic<std::int32_t>& LiveAVIPlayers();
std::atomic<std::int32_t>& LiveRVPlayers();

}  // namespace ZYL
