// Where the engine says what went wrong in words: why a file cannot be opened, packets it had
// to drop, FFmpeg's own messages about the engine's demuxers and decoders. The program that
// hosts the engine installs one sink (the module: its log); without one the words are
// dropped and only the codes remain.
//
// Any thread. The sink is swapped atomically and called without any engine lock held; it must
// not call back into the graph.
#pragma once

#include <string>

namespace dshow {

enum class Severity { Error, Warning, Info };

using DiagnosticSink = void (*)(Severity severity, const char* text);

// Installs the sink (nullptr: none); returns the one it replaces.
DiagnosticSink SetDiagnosticSink(DiagnosticSink sink);

void Diagnose(Severity severity, const std::string& text);

}  // namespace dshow
