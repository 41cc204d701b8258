// Stand-ins for the sibling library that may claim a file: built three times, claiming,
// declining, and without the export.
#include <cstdint>

#if defined(KELFILE_CLAIMS) || defined(KELFILE_DECLINES)
extern "C" __attribute__((visibility("default"))) std::int32_t GetIsSupportedFormatW(
    const wchar_t*) {
#ifdef KELFILE_CLAIMS
    return 1;
#else
    return 0;
#endif
}
#else
extern "C" __attribute__((visibility("default"))) std::int32_t SomethingElse() {
    return 0;
}
#endif
