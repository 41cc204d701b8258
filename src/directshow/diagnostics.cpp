#include "directshow/diagnostics.h"

#include <atomic>

namespace dshow {
namespace {

std::atomic<DiagnosticSink> g_sink{nullptr};

}  // namespace

DiagnosticSink SetDiagnosticSink(DiagnosticSink sink) {
    return g_sink.exchange(sink);
}

void Diagnose(Severity severity, const std::string& text) {
    if (DiagnosticSink sink = g_sink.load())
        sink(severity, text.c_str());
}

void LossCounter::Note(Severity severity, const std::string& what) {
    ++m_total;
    ++m_unsaid;
    const auto now = std::chrono::steady_clock::now();
    if (m_said && now - m_saidAt < std::chrono::seconds(1))
        return;
    Diagnose(severity, m_said ? what + " (" + std::to_string(m_unsaid) +
                                    " more since the last word, " + std::to_string(m_total) +
                                    " in all)"
                              : what);
    m_said = true;
    m_saidAt = now;
    m_unsaid = 0;
}

}  // namespace dshow
