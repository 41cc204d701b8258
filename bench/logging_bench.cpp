// Cost of a log message that reaches a file target through the elapsed-time formatter, and of
// one filtered out by the level mask; the baselines, run in the same process, are fprintf of
// the same line plus fflush (what a file log must at least do) and snprintf of the text alone
// (what formatting the message would cost). Allocations are counted for the filtered path,
// which must make none.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include <unistd.h>

#include "alloc_counter.h"
#include "bench_util.h"
#include "module/logging/file_target.h"
#include "module/logging/formatters.h"
#include "module/logging/logstream.h"

using namespace zyl::bench;
using namespace qnLogging;

int main(int argc, char** argv) {
    const bool json = wantsJson(argc, argv);
    char dirTemplate[] = "/tmp/zylavi-bench-XXXXXX";
    if (!mkdtemp(dirTemplate))
        return 1;
    const std::string dir = dirTemplate;
    const std::string logPath = dir + "/bench.log";
    const std::string basePath = dir + "/baseline.log";
    constexpr int kMessages = 100000;

    register_formatter(basic_timespanformatter(
        std::make_shared<file_target>(std::make_shared<file_target::file>(logPath))));
    set_level_mask(root_logger(), mask::info);

    std::int64_t t0 = nowNs();
    for (int i = 0; i < kMessages; ++i) {
        logstream(root_logger(), level::info) << "frame " << i << " delivered, lost " << 0;
    }
    const double loggedNs = static_cast<double>(nowNs() - t0) / kMessages;

    FILE* base = std::fopen(basePath.c_str(), "a");
    t0 = nowNs();
    for (int i = 0; i < kMessages; ++i) {
        std::fprintf(base, "00:00:%02d.%06d [info] frame %d delivered, lost %d\n", i % 60, i, i, 0);
        std::fflush(base);
    }
    const double baseNs = static_cast<double>(nowNs() - t0) / kMessages;
    std::fclose(base);

    constexpr int kFiltered = 5000000;
    const std::uint64_t allocationsBefore = Allocations();
    t0 = nowNs();
    for (int i = 0; i < kFiltered; ++i) {
        logstream(root_logger(), level::debug) << "frame " << i << " delivered, lost " << 0;
    }
    const double filteredNs = static_cast<double>(nowNs() - t0) / kFiltered;

    t0 = nowNs();
    for (int i = 0; i < kFiltered; ++i) {
        QN_LOG(root_logger(), level::debug) << "frame " << i << " delivered, lost " << 0;
    }
    const double guardedNs = static_cast<double>(nowNs() - t0) / kFiltered;
    const std::uint64_t filteredAllocations = Allocations() - allocationsBefore;

    char buffer[128];
    volatile int sink = 0;
    t0 = nowNs();
    for (int i = 0; i < kFiltered; ++i) {
        sink = sink + std::snprintf(buffer, sizeof buffer, "frame %d delivered, lost %d", i, 0);
    }
    const double snprintfNs = static_cast<double>(nowNs() - t0) / kFiltered;

    report(json, "logging.file_message", loggedNs, "ns/msg", baseNs,
           "vs fprintf+fflush of the same line (lower is better)");
    report(json, "logging.filtered_message_stream", filteredNs, "ns/msg", snprintfNs,
           "stream made, level refused; vs snprintf of the text");
    report(json, "logging.filtered_message_QN_LOG", guardedNs, "ns/msg", snprintfNs,
           "the module's log sites; vs snprintf of the text");
    report(json, "logging.filtered_allocations",
           static_cast<double>(filteredAllocations) / kFiltered, "allocs/msg", 0, "must be 0");
    clear_targets();
    std::remove(logPath.c_str());
    std::remove(basePath.c_str());
    rmdir(dir.c_str());
    return filteredAllocations == 0 ? 0 : 1;
}
