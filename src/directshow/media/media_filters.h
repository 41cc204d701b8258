// The engine's media filters as built-in filters: the FFmpeg source/splitter (with the file
// extensions it opens and a probe of a file's first bytes), the video decoder, the audio
// decoder and the audio renderer. Whoever plays files through the engine calls this once
// before building a graph (any thread, any number of times); it also makes the platform
// classes (graph, clock) available.
#pragma once

namespace dshow::media {
void RegisterMediaFilters();
}
