// basic_logsvc_target: every message that reaches it goes to a log service as one datagram.
// Copies share one dispatcher; no lock (see LogMessageDispatcher).
#pragma once

#include <memory>

#include "module/logging/logsvc_client.h"
#include "module/logging/target.h"

namespace qnLogging {

class basic_logsvc_target : public basic_logtarget {
public:
    basic_logsvc_target(const Endpoint& destination, bool threadId)
        : m_dispatcher(std::make_shared<LogMessageDispatcher>(destination, threadId)) {}

    void write(const basic_timed_msgstate& state, const wchar_t* begin,
               const wchar_t* end) override {
        logsvc::MessageText text;
        text.wide = true;
        text.wideBegin = begin;
        text.wideEnd = end;
        m_dispatcher->Send(state, text);
    }

    void write(const basic_timed_msgstate& state, const char* begin, const char* end) override {
        logsvc::MessageText text;
        text.narrowBegin = begin;
        text.narrowEnd = end;
        m_dispatcher->Send(state, text);
    }

    const LogMessageDispatcher& dispatcher() const { return *m_dispatcher; }

private:
    std::shared_ptr<LogMessageDispatcher> m_dispatcher;
};

// Appends a copy of the target (sharing its dispatcher) with an accept-all filter.
void register_logsvc_target(const basic_logsvc_target& target);

}  // namespace qnLogging
