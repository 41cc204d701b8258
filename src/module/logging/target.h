// The log target and target filter interfaces. A target receives emitted messages from any
// thread at once; each implementation says which lock it takes.
#pragma once

#include "module/logging/msgstate.h"

namespace qnLogging {

class basic_logtarget {
public:
    virtual void write(const basic_timed_msgstate& state, const wchar_t* begin,
                       const wchar_t* end) = 0;
    virtual void write(const basic_timed_msgstate& state, const char* begin, const char* end) = 0;
    virtual ~basic_logtarget() = default;
};

class basic_logtargetfilter {
public:
    virtual bool accept(const basic_timed_msgstate& state) = 0;
    virtual ~basic_logtargetfilter() = default;
};

class basic_logtargetfilter_all : public basic_logtargetfilter {
public:
    bool accept(const basic_timed_msgstate&) override { return true; }
};

}  // namespace qnLogging
