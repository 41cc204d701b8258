// Where the engine says what went wrong in words: why a file cannot be opened, packets it had
// to drop, FFmpeg's own messages about the engine's demuxers and decoders. The program that
// hosts the engine installs one sink (the module: its log); without one the words are
// dropped and only the codes remain.
//
// Any thread. The sink is swapped atomically and called without any engine lock held; it must
// not call back into the graph.
#pragma once

#include <chrono>
#include <string>

namespace dshow {

enum class Severity { Error, Warning, Info };

using DiagnosticSink = void (*)(Severity severity, const char* text);

// Installs the sink (nullptr: none); returns the one it replaces.
DiagnosticSink SetDiagnosticSink(DiagnosticSink sink);

void Diagnose(Severity severity, const std::string& text);

// A loss that may recur with every frame (a damaged stream): counted always, said the first
// time and then at most once a second with the count since, so no file can flood a host's log.
// One owner thread; no lock.
class LossCounter {
public:
    void Note(Severity severity, const std::string& what);
    long Total() const { return m_total; }
    void Reset() { *this = LossCounter{}; }

private:
    long m_total = 0;
    long m_unsaid = 0;
    bool m_said = false;
    std::chrono::steady_clock::time_point m_saidAt{};
};

}  // namespace dshow
