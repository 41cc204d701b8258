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

}  // namespace dshow
