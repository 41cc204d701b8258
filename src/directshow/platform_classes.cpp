#include "directshow/platform_classes.h"

#include <mutex>

#include "directshow/filter_graph.h"
#include "directshow/system_clock.h"

void dshow::RegisterPlatformClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        CFilterGraph::RegisterClass();
        CSystemClock::RegisterClass();
    });
}
