#ifndef TESTS_SUPPORT_TRACE_H
#define TESTS_SUPPORT_TRACE_H

#include <string>
#include <vector>

/* Collects every debug trace line the bar writes while it lives, exactly as
   written (line endings included). Lines also go to the event log. */
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    const std::vector<std::string> &Lines() const;
    bool Has(const std::string &line) const;
    /* Lines that start with the given prefix. */
    std::vector<std::string> Starting(const std::string &prefix) const;
    void Clear();
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;
};

#endif
