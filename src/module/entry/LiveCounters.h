// The live-object counters that CanUnload reads: changed only by atomic increments (the last
// step of a player's constructor) and decrements (its destructor). Any thread, no locks.
#pragma once

#include <atomic>
#include <cstdint>

namespace ZYL {

std::atomic<std::int32_t>& LiveAVIPlayers();
std::atomic<std::int32_t>& LiveRVPlayers();

// Objects of the module that the unload answers do not count (raw video containers, and the
// frame pools their images return buffers to) but whose code must stay mapped while they live.
std::atomic<std::int32_t>& LiveUncountedObjects();
class UncountedObject {
public:
    UncountedObject() { LiveUncountedObjects().fetch_add(1); }
    ~UncountedObject() { LiveUncountedObjects().fetch_sub(1); }
    UncountedObject(const UncountedObject&) = delete;
    UncountedObject& operator=(const UncountedObject&) = delete;
};

// Called where the module answers that it may be unloaded while objects of it still live: keeps
// it mapped for the rest of the process, since their last release runs its code. Dropping an
// extra reference at that last release would unmap the code still running it.
void KeepLoadedForLiveObjects();

}  // namespace ZYL
